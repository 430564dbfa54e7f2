#ifndef PLATFORMFILES_H
#define PLATFORMFILES_H

#include <QByteArray>
#include <QString>

// File operations whose safety depends on what the operating system offers:
// files only their owner reads, and removal that never leaves the tree it
// was given through a link.
class PlatformFiles
{
public:
    // Writes bytes to path as a new file readable by its owner only. Whatever
    // was at path (a file, or a link to anywhere) is unlinked first and never
    // written through; the new file is created exclusively, so a link planted
    // in between makes the write fail instead of being followed.
    static bool writePrivateFile(const QString &path, const QByteArray &bytes, QString *error = nullptr);

    // Removes path and everything below it. A link, at any depth, is removed
    // as a link; nothing outside the tree is touched. True when nothing is
    // left at path (also when there was nothing).
    static bool removeTree(const QString &path);

    // True when path itself (not what it may point to) is a directory.
    static bool isPlainDirectory(const QString &path);

private:
    PlatformFiles() = delete;
};

#endif // PLATFORMFILES_H
