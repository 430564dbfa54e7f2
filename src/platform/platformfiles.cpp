#include "platformfiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#ifdef Q_OS_UNIX
namespace {

bool writeAll(int fd, const QByteArray &bytes)
{
    const char *data = bytes.constData();
    qint64 left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, data, size_t(left));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        data += written;
        left -= written;
    }
    return ::fsync(fd) == 0;
}

// Empties the directory open as fd. Every entry is looked at without
// following it; subdirectories are opened with O_NOFOLLOW, so one swapped
// for a link in the meantime fails to open rather than being entered.
bool emptyDirectory(int fd)
{
    DIR *dir = ::fdopendir(fd);
    if (!dir) {
        ::close(fd);
        return false;
    }
    bool ok = true;
    while (ok) {
        errno = 0;
        const dirent *entry = ::readdir(dir);
        if (!entry) {
            ok = errno == 0;
            break;
        }
        const char *name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
            continue;
        struct stat info;
        if (::fstatat(fd, name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
            ok = false;
            break;
        }
        if (S_ISDIR(info.st_mode)) {
            const int child = ::openat(fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            ok = child >= 0 && emptyDirectory(child) && ::unlinkat(fd, name, AT_REMOVEDIR) == 0;
        } else {
            ok = ::unlinkat(fd, name, 0) == 0;
        }
        if (ok)
            ::rewinddir(dir);
    }
    ::closedir(dir);
    return ok;
}

} // namespace
#endif

bool PlatformFiles::writePrivateFile(const QString &path, const QByteArray &bytes, QString *error)
{
#ifdef Q_OS_UNIX
    const QByteArray native = QFile::encodeName(path);
    if (::unlink(native.constData()) != 0 && errno != ENOENT) {
        if (error)
            *error = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    const int fd = ::open(native.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        if (error)
            *error = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    const bool written = writeAll(fd, bytes);
    const int savedErrno = errno;
    ::close(fd);
    if (!written && error)
        *error = QString::fromLocal8Bit(std::strerror(savedErrno));
    return written;
#else
    // The per-user data directory is private to its owner here; a link in it
    // is still removed rather than written through.
    if (QFileInfo(path).isSymLink() || QFileInfo::exists(path))
        QFile::remove(path);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
        if (error)
            *error = file.errorString();
        return false;
    }
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    const bool written = file.write(bytes) == bytes.size() && file.flush();
    if (!written && error)
        *error = file.errorString();
    return written;
#endif
}

bool PlatformFiles::isPlainDirectory(const QString &path)
{
    const QFileInfo info(path);
    return !info.isSymLink() && info.isDir();
}

bool PlatformFiles::removeTree(const QString &path)
{
#ifdef Q_OS_UNIX
    const QByteArray native = QFile::encodeName(path);
    struct stat info;
    if (::lstat(native.constData(), &info) != 0)
        return errno == ENOENT;
    if (!S_ISDIR(info.st_mode))
        return ::unlink(native.constData()) == 0;
    const int fd = ::open(native.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    return fd >= 0 && emptyDirectory(fd) && ::rmdir(native.constData()) == 0;
#else
    const QFileInfo info(path);
    if (!info.exists() && !info.isSymLink())
        return true;
    if (info.isSymLink() || !info.isDir())
        return QFile::remove(path) || QDir().rmdir(path);
    const QDir dir(path);
    const QFileInfoList entries =
            dir.entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
    for (const QFileInfo &entry : entries) {
        if (!removeTree(entry.absoluteFilePath()))
            return false;
    }
    return QDir().rmdir(path);
#endif
}
