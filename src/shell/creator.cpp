#include "creator.h"

#include <QApplication>
#include <QDebug>
#include <QSettings>

#include "httplistener.h"
#include "loggingsettings.h"
#include "mqttsettings.h"
#include "myhttprequesthandler.h"
#include "platformlauncher.h"
#include "staticfilecontroller.h"
#include "traymenu.h"

namespace {

// [mqtt] and [logging]: the broker running projects publish to, and where they log.
void readProjectSettings(const QString &configPath, MqttSettings *mqtt, LoggingSettings *logging)
{
    QSettings config(configPath, QSettings::IniFormat);
    config.beginGroup(QStringLiteral("mqtt"));
    mqtt->host = config.value(QStringLiteral("host")).toString().trimmed();
    const int port = config.value(QStringLiteral("port"), 1883).toInt();
    mqtt->port = quint16(port > 0 && port <= 65535 ? port : 1883);
    mqtt->tls = config.value(QStringLiteral("tls"), false).toBool();
    mqtt->caFile = config.value(QStringLiteral("caFile")).toString();
    mqtt->user = config.value(QStringLiteral("user")).toString();
    mqtt->password = config.value(QStringLiteral("password")).toString();
    mqtt->clientId = config.value(QStringLiteral("clientId")).toString();
    mqtt->topicPrefix = config.value(QStringLiteral("topicPrefix")).toString();
    config.endGroup();
    config.beginGroup(QStringLiteral("logging"));
    logging->directory = config.value(QStringLiteral("directory")).toString();
    logging->keepDays = config.value(QStringLiteral("keepDays"), 30).toInt();
}

} // namespace

// The order matters: each component reads its settings while it is built.
Creator::Creator(const QString &configPath, bool restarted, QObject *parent) : QObject(parent)
{
    docrootSettings = new QSettings(configPath, QSettings::IniFormat, this);
    docrootSettings->beginGroup(QStringLiteral("docroot"));
    staticFileController = new StaticFileController(docrootSettings, this);

    qDebug("ServiceHelper: Starting service");

    listenerSettings = new QSettings(configPath, QSettings::IniFormat, this);
    listenerSettings->beginGroup(QStringLiteral("listener"));
    router = new MyHttpRequestHandler(staticFileController, docrootSettings, this);
    MqttSettings mqtt;
    LoggingSettings logging;
    readProjectSettings(configPath, &mqtt, &logging);
    router->configureProjects(mqtt, logging);
    listener = new HttpListener(listenerSettings, router, this);

    traySettings = new QSettings(configPath, QSettings::IniFormat, this);
    tray = new TrayMenu(qobject_cast<QApplication *>(QCoreApplication::instance()), traySettings);

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
    listener = new HttpListener(listenerSettings, router, this);
    if (!listener->isListening())
        tray->showBindErrorMessage();
}
