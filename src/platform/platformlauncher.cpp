#include "platformlauncher.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QProcess>
#include <QStandardPaths>
#include <QUrl>

#ifdef Q_OS_WIN
#include <windows.h>
#include <shellapi.h>
#endif

QString PlatformLauncher::helperPath(const QString &program)
{
    if (QDir::isAbsolutePath(program))
        return QDir::cleanPath(program);
    return QDir::cleanPath(QCoreApplication::applicationDirPath() + QLatin1Char('/') + program);
}

bool PlatformLauncher::startDetached(const QString &program, const QStringList &arguments)
{
    return QProcess::startDetached(helperPath(program), arguments);
}

bool PlatformLauncher::startElevated(const QString &path, const QStringList &arguments)
{
#ifdef Q_OS_WIN
    const QString native = QDir::toNativeSeparators(path);
    const QString params = arguments.join(QLatin1Char(' '));
    const HINSTANCE result = ShellExecuteW(nullptr, L"runas", reinterpret_cast<LPCWSTR>(native.utf16()),
                                           reinterpret_cast<LPCWSTR>(params.utf16()), nullptr, SW_SHOWNORMAL);
    // ShellExecute reports success with a value above 32.
    return reinterpret_cast<quintptr>(result) > 32;
#else
    return QProcess::startDetached(path, arguments);
#endif
}

bool PlatformLauncher::openUrl(const QUrl &url)
{
    return QDesktopServices::openUrl(url);
}

bool PlatformLauncher::openInFileBrowser(const QString &address)
{
    const QString explorer = QStringLiteral("explorer.exe");
#ifndef Q_OS_WIN
    // Outside Windows an explorer.exe is only there when someone put one in
    // PATH (a wrapper, or Wine); otherwise the desktop's own handler opens it.
    if (QStandardPaths::findExecutable(explorer).isEmpty())
        return QProcess::startDetached(QStringLiteral("xdg-open"), {address});
#endif
    return QProcess::startDetached(explorer, {address});
}
