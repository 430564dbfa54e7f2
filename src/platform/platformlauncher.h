#ifndef PLATFORMLAUNCHER_H
#define PLATFORMLAUNCHER_H

#include <QString>
#include <QStringList>

class QUrl;

// Everything that starts other programs differs by operating system; the
// rest of the program goes through here so it stays free of OS branches.
class PlatformLauncher
{
public:
    // Where a helper program of this installation is: a relative path counts
    // from the executable's directory, never from the working directory or
    // PATH, where anyone could have planted a program of that name.
    static QString helperPath(const QString &program);

    // Starts a helper program (resolved by helperPath, started by its
    // absolute path) without waiting for it. False when it could not be
    // started at all.
    static bool startDetached(const QString &program, const QStringList &arguments);

    // Starts a program with administrator rights where the OS asks for them;
    // elsewhere it is a plain detached start.
    static bool startElevated(const QString &path, const QStringList &arguments);

    static bool openUrl(const QUrl &url);

    // Shows a location (an ftp:// address) in the desktop's file browser.
    static bool openInFileBrowser(const QString &address);

private:
    PlatformLauncher() = delete;
};

#endif // PLATFORMLAUNCHER_H
