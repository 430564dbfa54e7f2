#include "projectstore.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

#include "project.h"

ProjectStore::ProjectStore(const QString &directory) : dir(directory)
{}

QString ProjectStore::defaultDirectory()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + QStringLiteral("/projects");
}

QString ProjectStore::pathOf(const QString &name) const
{
    return QDir(dir).filePath(name + QStringLiteral(".json"));
}

QStringList ProjectStore::list() const
{
    QStringList names;
    const QFileInfoList entries =
            QDir(dir).entryInfoList({QStringLiteral("*.json")}, QDir::Files | QDir::NoSymLinks, QDir::Name);
    for (const QFileInfo &entry : entries) {
        // Left-overs of an interrupted save and foreign files are not projects.
        if (isValidProjectName(entry.completeBaseName()) && entry.fileName() == entry.completeBaseName() + ".json")
            names << entry.completeBaseName();
    }
    return names;
}

bool ProjectStore::load(const QString &name, QByteArray *json) const
{
    if (!isValidProjectName(name))
        return false;
    QFile file(pathOf(name));
    if (!file.open(QIODevice::ReadOnly))
        return false;
    *json = file.readAll();
    return true;
}

QString ProjectStore::save(const QString &name, const QByteArray &json) const
{
    if (!isValidProjectName(name))
        return QStringLiteral("Project error: bad project name (1-64 characters A-Z a-z 0-9 _ -)");
    const QString error = validateProject(json);
    if (!error.isEmpty())
        return error;
    QSaveFile file(pathOf(name));
    if (!QDir().mkpath(dir) || !file.open(QIODevice::WriteOnly) || file.write(json) != json.size() || !file.commit()) {
        qWarning().noquote() << "ProjectStore: cannot save" << file.fileName() << file.errorString();
        return QStringLiteral("Project error: the file could not be written");
    }
    return QString();
}

bool ProjectStore::remove(const QString &name) const
{
    return isValidProjectName(name) && QFile::remove(pathOf(name));
}
