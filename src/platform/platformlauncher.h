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
    // Starts a program (a path, or a bare name looked up in PATH) without
    // waiting for it. False when it could not be started at all.
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
