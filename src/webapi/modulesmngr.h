#ifndef MODULESMNGR_H
#define MODULESMNGR_H

#include <QByteArray>
#include <QFileInfo>
#include <QObject>
#include <QString>

// The configured document root as a path: a relative one counts from the
// executable's directory. The listing and the update client install into the
// same place through it.
QString documentRootPath(const QString &configuredPath);

// Lists the interface modules below the document root's "modules"
// directory with their HTML, CSS and JavaScript files. Read from disk at
// every call, so a freshly installed module shows at once.
class ModulesMngr : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(ModulesMngr)
public:
    // A relative document root is taken from the executable's directory.
    explicit ModulesMngr(const QString &documentRootPath, QObject *parent = nullptr);

    QByteArray getListOfInstalledModules() const;

private:
    static QByteArray describeModule(const QString &moduleDir);
    static QByteArray listModuleFiles(const QString &dir, const QString &extension);

    const QFileInfo documentRootInfo;
};

#endif // MODULESMNGR_H
