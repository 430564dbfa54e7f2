#ifndef PROJECTSTORE_H
#define PROJECTSTORE_H

#include <QByteArray>
#include <QString>
#include <QStringList>

// The saved projects: <directory>/<name>.json. Safe to use from several
// threads at once; a save replaces the file in one step, so a reader sees
// the old project or the new one, never a part.
class ProjectStore
{
public:
    explicit ProjectStore(const QString &directory = defaultDirectory());

    // The per-user data directory's projects/.
    static QString defaultDirectory();
    QString directory() const { return dir; }

    // The names of the saved projects, sorted.
    QStringList list() const;
    // False when the name is not valid or no such project is saved.
    bool load(const QString &name, QByteArray *json) const;
    // Checks the name and the whole project first and writes nothing unless
    // both are sound. Returns an empty string when saved, else the
    // "Project error: ..." text.
    QString save(const QString &name, const QByteArray &json) const;
    // False when the name is not valid or no such project was saved.
    bool remove(const QString &name) const;

private:
    QString pathOf(const QString &name) const;

    QString dir;
};

#endif // PROJECTSTORE_H
