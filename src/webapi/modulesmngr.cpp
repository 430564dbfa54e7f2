#include "modulesmngr.h"

#include <QDir>

#include "jsontext.h"

namespace {

// Names come from the disk: quotes, backslashes or control characters in
// them must not break the page's JSON.
QByteArray quoted(const QString &name)
{
    return '"' + jsonEscape(name.toUtf8()) + '"';
}

} // namespace

ModulesMngr::ModulesMngr(const QString &documentRoot, QObject *parent) : QObject(parent), documentRootInfo(documentRoot)
{}

QByteArray ModulesMngr::getListOfInstalledModules() const
{
    const QByteArray none = "{\"modules\":{}}";
    const QFileInfo root(documentRootInfo.absoluteFilePath());
    if (!root.isDir())
        return none;
    const QFileInfo modulesInfo(root.absoluteFilePath() + QStringLiteral("/modules"));
    if (!modulesInfo.isDir())
        return none;

    // Unsorted: the page shows the modules in the order the disk has them.
    const QDir modulesDir(modulesInfo.absoluteFilePath());
    const QStringList names = modulesDir.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Unsorted);
    QByteArray result = "{";
    for (const QString &name : names)
        result += quoted(name) + ':' + describeModule(modulesDir.absoluteFilePath(name)) + ',';
    if (!names.isEmpty())
        result.chop(1);
    result += '}';
    return result;
}

QByteArray ModulesMngr::describeModule(const QString &moduleDir)
{
    return '{' + listModuleFiles(moduleDir, QStringLiteral("html")) + ','
            + listModuleFiles(moduleDir, QStringLiteral("css")) + ',' + listModuleFiles(moduleDir, QStringLiteral("js"))
            + '}';
}

QByteArray ModulesMngr::listModuleFiles(const QString &dir, const QString &extension)
{
    // Name filters ignore letter case unless told otherwise.
    const QStringList files = QDir(dir).entryList({QStringLiteral("*.") + extension}, QDir::Files, QDir::Unsorted);
    QByteArray result = quoted(extension) + ":[";
    for (const QString &file : files)
        result += quoted(file) + ',';
    if (!files.isEmpty())
        result.chop(1);
    result += ']';
    return result;
}
