#include "creator.h"

#include <QApplication>
#include <QDebug>

#include "httplistener.h"
#include "myhttprequesthandler.h"
#include "platformlauncher.h"
#include "staticfilecontroller.h"
#include "traymenu.h"

Creator::Creator(const QString &configPath, bool restarted, QObject *parent)
    : QObject(parent), config(readConfig(configPath))
{
    staticFileController = new StaticFileController(config.docroot, this);

    qDebug("ServiceHelper: Starting service");

    router = new MyHttpRequestHandler(staticFileController, config, this);
    router->configureProjects(config.mqtt, config.logging);
    listener = new HttpListener(config.listener, router, this);
    tray = new TrayMenu(qobject_cast<QApplication *>(QCoreApplication::instance()), config.tray);

    if (!listener->isListening()) {
        tray->showBindErrorMessage();
    } else if (!restarted) {
        tray->slotLaunchBrowser();
        tray->showListeningMessage();
    }

    connect(router, &MyHttpRequestHandler::restartAppAsAdmin, this, &Creator::slotRestartAppAsAdmin);
    connect(router, &MyHttpRequestHandler::runAutoUpdate, this, &Creator::slotRunAutoUpdate);
    connect(tray, &TrayMenu::exitApp, this, &Creator::slotExitApp);
}

Creator::~Creator()
{
    // The listener first: its handler threads still call into the router.
    deleteListener();
    delete tray;
}

HttpListener *Creator::httpListener() const
{
    return listener;
}

MyHttpRequestHandler *Creator::requestHandler() const
{
    return router;
}

TrayMenu *Creator::trayMenu() const
{
    return tray;
}

void Creator::deleteListener()
{
    delete listener;
    listener = nullptr;
}

void Creator::slotRestartAppAsAdmin()
{
    if (handingOver)
        return;
    // Release the port first so the elevated copy can bind it.
    deleteListener();
    const QString program = QCoreApplication::applicationDirPath() + QStringLiteral("/Brio_admin.exe");
    finishHandOver(PlatformLauncher::startElevated(program, {QStringLiteral("-r")}), program);
}

void Creator::slotRunAutoUpdate()
{
    if (handingOver)
        return;
    deleteListener();
    const QString program = QCoreApplication::applicationDirPath() + QStringLiteral("/www/root/Brio_setup.exe");
    finishHandOver(PlatformLauncher::startElevated(program, {QStringLiteral("-r")}), program);
}

void Creator::slotExitApp()
{
    deleteListener();
    QCoreApplication::exit(0);
}

void Creator::finishHandOver(bool started, const QString &program)
{
    if (started) {
        // A second queued request must not start yet another copy.
        handingOver = true;
        QCoreApplication::exit(handOverExitCode);
        return;
    }
    // Ending now would leave the user with no program at all.
    qWarning("Creator: cannot start %s, serving on", qPrintable(program));
    listener = new HttpListener(config.listener, router, this);
    if (!listener->isListening())
        tray->showBindErrorMessage();
}
