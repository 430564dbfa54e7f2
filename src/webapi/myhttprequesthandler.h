#ifndef MYHTTPREQUESTHANDLER_H
#define MYHTTPREQUESTHANDLER_H

#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include <QByteArray>
#include <QAtomicInt>
#include <QHash>
#include <QMutex>

#include "config.h"
#include "httprequesthandler.h"
#include "modbusapi.h"
#include "requestguard.h"
#include "tgetarray.h"

class BusBackend;
class BusLines;
class ModbusLibrary;
class DeviceFinder;
class Email;
class HomeThread;
class ModbusEngine;
class ModulesMngr;
class ProjectApi;
struct LoggingSettings;
struct MqttSettings;
class StaticFileController;
class SystemFun;
class Updates;

// The application's request handler: AJAX calls, the two file echoes, and
// everything else as static files. One instance serves all handler threads.
// It builds the engines, each on the part of the configuration that is its
// own; the update client and the device finder on threads of their own.
class MyHttpRequestHandler : public HttpRequestHandler
{
    Q_OBJECT
    Q_DISABLE_COPY(MyHttpRequestHandler)
public:
    MyHttpRequestHandler(StaticFileController *staticFileController, const BrioConfig &config,
                         QObject *parent = nullptr);
    ~MyHttpRequestHandler() override;

    // The Host and cross-site checks, before any body is read.
    bool admit(const HttpRequest &request) override;
    void service(HttpRequest &request, HttpResponse &response) override;

    // Before the first request: the broker and the log of running projects.
    void configureProjects(const MqttSettings &mqtt, const LoggingSettings &logging);

    // How long a Modbus call waits for the one before it (ms).
    void setModbusLockTimeout(int milliseconds);
    int modbusLockTimeout() const;

    // Copies the request parameters so that each name keeps its newest value.
    static t_GetArray toGetArray(const QMultiMap<QByteArray, QByteArray> &parameters);

signals:
    void restartAppAsAdmin();
    void runAutoUpdate();

protected:
    // The body of an AJAX reply; empty when nothing was done.
    QByteArray ajaxReply(t_GetArray &parameters);

    // The Modbus engine has no lock of its own and blocks for seconds.
    QMutex modbusLock;

private:
    // What an AJAX function runs, and whether it needs modbusLock.
    enum class Lock { None, Modbus };
    struct Route
    {
        Lock lock;
        std::function<QByteArray(t_GetArray &parameters)> handler;
    };
    void addRoutes();
    QByteArray emitted(void (MyHttpRequestHandler::*signal)());

    QByteArray runFirmwareUpdater();
    QByteArray openFtpInExplorer(t_GetArray &parameters);
    QByteArray startSearchingDevices();
    // A bus scan runs on scanThread, which takes modbusLock for itself.
    void launchScan();
    void runScan();
    // Waits for modbusLock up to the lock time-out; false when it gave up or
    // a scan took the bus meanwhile (*scanning then set).
    bool lockModbus(bool *scanning);
    QByteArray getSearchedDevices();
    void serviceSaveFile(HttpRequest &request, HttpResponse &response, t_GetArray &parameters);
    void serviceLoadFile(HttpRequest &request, HttpResponse &response);

    StaticFileController *staticFileController;
    // The interactive engine and the project poller share these lines.
    std::unique_ptr<BusLines> busLines;
    std::unique_ptr<ModbusLibrary> modbusLibrary;
    std::unique_ptr<BusBackend> busBackend;
    ModbusEngine *modbusEngine;
    ModbusApi modbusApi;
    ModulesMngr *modulesMngr;
    Email *email;
    SystemFun *systemFun;
    ProjectApi *projectApi;
    HomeThread *updatesThread;
    HomeThread *finderThread;
    // Living on the threads above: the finder is reached through its thread,
    // the update client hands its work to its own.
    Updates *updates;
    DeviceFinder *deviceFinder;
    QAtomicInt lockTimeout{10000};
    RequestGuard guard;
    QHash<QByteArray, Route> routes; // by func; read-only once built
    std::mutex scanThreadLock; // scanThread: each start may come from another handler thread
    std::thread scanThread;
};

#endif // MYHTTPREQUESTHANDLER_H
