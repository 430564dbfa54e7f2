#include "myhttprequesthandler.h"

#include <QDebug>
#include <QDeadlineTimer>
#include <QTemporaryFile>

#include "busbackend.h"
#include "buslines.h"
#include "modbuslibrary.h"
#include "devicefinder.h"
#include "email.h"
#include "endpoint.h"
#include "homethread.h"
#include "httprequest.h"
#include "httpresponse.h"
#include "modbusengine.h"
#include "modulesmngr.h"
#include "platformlauncher.h"
#include "projectapi.h"
#include "staticfilecontroller.h"
#include "systemfun.h"
#include "updates.h"

MyHttpRequestHandler::MyHttpRequestHandler(StaticFileController *staticFileController, const BrioConfig &config,
                                           QObject *parent)
    : HttpRequestHandler(parent), staticFileController(staticFileController), busLines(std::make_unique<BusLines>()),
      modbusLibrary(std::make_unique<ModbusLibrary>(config.modbus.extraPorts)),
      busBackend(std::make_unique<BusBackend>(*busLines, modbusLibrary.get())),
      modbusEngine(new ModbusEngine(busBackend.get(), this)), modbusApi(*modbusEngine),
      modulesMngr(new ModulesMngr(config.docroot.path, this)), email(new Email(config.email, this)),
      systemFun(new SystemFun(this)),
      projectApi(new ProjectApi(*busLines, {&modbusEngine->traffic(), &modbusEngine->stats()}, this)),
      updatesThread(new HomeThread(QStringLiteral("Updates"), this)),
      finderThread(new HomeThread(QStringLiteral("DeviceFinder"), this)),
      updates(updatesThread->make<Updates>(config.docroot.path, config.updates)),
      deviceFinder(finderThread->make<DeviceFinder>(config.discovery, DeviceFinder::installedHelper())),
      guard(config.listener.allowedHosts)
{
    modbusEngine->setConfig(config.modbus);
    addRoutes();
}

void MyHttpRequestHandler::addRoutes()
{
    const Lock modbus = Lock::Modbus;
    const Lock none = Lock::None;
    routes = {
            {"getPortSettings", {modbus, [this](t_GetArray &) { return modbusApi.getPortSettings(); }}},
            {"connect", {modbus, [this](t_GetArray &p) { return modbusApi.connectPort(p); }}},
            {"disconnect", {modbus, [this](t_GetArray &) { return modbusApi.disconnectPort(); }}},
            {"readRegisters", {modbus, [this](t_GetArray &p) { return modbusApi.readRegisters(p); }}},
            {"writeRegisters", {modbus, [this](t_GetArray &p) { return modbusApi.writeRegisters(p); }}},
            {"identifySlave", {modbus, [this](t_GetArray &) { return modbusApi.identifySlave(); }}},
            {"readBits", {modbus, [this](t_GetArray &p) { return modbusApi.readBits(p); }}},
            {"writeBits", {modbus, [this](t_GetArray &p) { return modbusApi.writeBits(p); }}},
            {"maskWriteRegister", {modbus, [this](t_GetArray &p) { return modbusApi.maskWriteRegister(p); }}},
            {"readDeviceIdentification",
             {modbus, [this](t_GetArray &p) { return modbusApi.readDeviceIdentification(p); }}},
            // The monitor and the scanner answer at once, a scan or a slow slave notwithstanding.
            {"getTraffic", {none, [this](t_GetArray &p) { return modbusApi.getTraffic(p); }}},
            {"clearTraffic", {none, [this](t_GetArray &) { return modbusApi.clearTraffic(); }}},
            {"getStats", {none, [this](t_GetArray &) { return modbusApi.getStats(); }}},
            {"resetStats", {none, [this](t_GetArray &) { return modbusApi.resetStats(); }}},
            {"startScan", {none, [this](t_GetArray &p) { return modbusApi.startScan(p, [this] { launchScan(); }); }}},
            {"getScanStatus", {none, [this](t_GetArray &) { return modbusApi.getScanStatus(); }}},
            {"stopScan", {none, [this](t_GetArray &) { return modbusApi.stopScan(); }}},
            {"getListOfInstalledModules",
             {none, [this](t_GetArray &) { return modulesMngr->getListOfInstalledModules(); }}},
            {"getGeneralInfo", {none, [this](t_GetArray &) { return systemFun->getGeneralInfo(); }}},
            {"runFirmwareUpdater", {none, [this](t_GetArray &) { return runFirmwareUpdater(); }}},
            {"runAsAdministrator",
             {none, [this](t_GetArray &) { return emitted(&MyHttpRequestHandler::restartAppAsAdmin); }}},
            {"runAutoUpdate", {none, [this](t_GetArray &) { return emitted(&MyHttpRequestHandler::runAutoUpdate); }}},
            {"startSearchingDevices", {none, [this](t_GetArray &) { return startSearchingDevices(); }}},
            {"getSearchedDevices", {none, [this](t_GetArray &) { return getSearchedDevices(); }}},
            {"sendEmail", {none, [this](t_GetArray &p) { return email->sendEmail(p); }}},
            {"check4Updates", {none, [this](t_GetArray &p) { return updates->check4Updates(p); }}},
            {"startUpdating", {none, [this](t_GetArray &p) { return updates->startUpdating(p); }}},
            {"getUpdateStatus", {none, [this](t_GetArray &) { return updates->getUpdateStatus(); }}},
            {"openFtpInExplorer", {none, [this](t_GetArray &p) { return openFtpInExplorer(p); }}},
            // Projects take their turn on each line, not the Modbus lock.
            {"listProjects", {none, [this](t_GetArray &) { return projectApi->listProjects(); }}},
            {"getProject", {none, [this](t_GetArray &p) { return projectApi->getProject(p); }}},
            {"saveProject", {none, [this](t_GetArray &p) { return projectApi->saveProject(p); }}},
            {"deleteProject", {none, [this](t_GetArray &p) { return projectApi->deleteProject(p); }}},
            {"startProject", {none, [this](t_GetArray &p) { return projectApi->startProject(p); }}},
            {"stopProject", {none, [this](t_GetArray &) { return projectApi->stopProject(); }}},
            {"getTagValues", {none, [this](t_GetArray &) { return projectApi->getTagValues(); }}},
            {"writeTag", {none, [this](t_GetArray &p) { return projectApi->writeTag(p); }}},
            {"listLogs", {none, [this](t_GetArray &) { return projectApi->listLogs(); }}},
            {"getMqttStatus", {none, [this](t_GetArray &) { return projectApi->getMqttStatus(); }}},
    };
}

QByteArray MyHttpRequestHandler::emitted(void (MyHttpRequestHandler::*signal)())
{
    // The shell acts on the main thread once this empty reply is out.
    emit(this->*signal)();
    return QByteArray();
}

MyHttpRequestHandler::~MyHttpRequestHandler()
{
    modbusApi.stopScan();
    {
        std::lock_guard<std::mutex> locker(scanThreadLock);
        if (scanThread.joinable())
            scanThread.join();
    }
    // The handler threads have ended; a search nobody collected ends here.
    finderThread->stop();
    updatesThread->stop();
    // Both use the lines and the backend, which go with this object's members;
    // the project's masters also count into the engine's monitor.
    delete projectApi;
    delete modbusEngine;
}

void MyHttpRequestHandler::configureProjects(const MqttSettings &mqtt, const LoggingSettings &logging)
{
    projectApi->configure(mqtt, logging);
}

void MyHttpRequestHandler::setModbusLockTimeout(int milliseconds)
{
    lockTimeout.storeRelaxed(milliseconds);
}

int MyHttpRequestHandler::modbusLockTimeout() const
{
    return lockTimeout.loadRelaxed();
}

t_GetArray MyHttpRequestHandler::toGetArray(const QMultiMap<QByteArray, QByteArray> &parameters)
{
    // Within one name the multimap lists the newest value first; that one wins.
    t_GetArray result;
    for (auto it = parameters.constBegin(); it != parameters.constEnd(); ++it) {
        if (!result.contains(it.key()))
            result.insert(it.key(), it.value());
    }
    return result;
}

namespace {
// API and file-echo replies carry other parties' text under their stated
// type; opened as a page, they must stay inert.
const QByteArray replyPolicy = "default-src 'none'; frame-ancestors 'none'; sandbox";
} // namespace

void MyHttpRequestHandler::service(HttpRequest &request, HttpResponse &response)
{
    t_GetArray parameters = toGetArray(request.parameterMap());
    const QByteArray path = request.path();
    if (RequestGuard::isGuardedPath(path))
        response.setHeader("Content-Security-Policy", replyPolicy);

    switch (endpointOf(path)) {
    case Endpoint::Ajax: {
        // The one function whose reply is a file rather than a JSON text.
        if (parameters.value("func") == "downloadLog") {
            projectApi->downloadLog(parameters, response);
            return;
        }
        const QByteArray result = ajaxReply(parameters);
        response.setStatus(200, "OK");
        response.setHeader("Content-Type", "text/html");
        response.write(result, true);
        return;
    }
    case Endpoint::SaveFile: serviceSaveFile(request, response, parameters); return;
    case Endpoint::LoadFile: serviceLoadFile(request, response); return;
    case Endpoint::Events: projectApi->serviceEvents(request, response); return;
    case Endpoint::File: break;
    }
    if (staticFileController) {
        staticFileController->service(request, response);
    } else {
        response.setStatus(404, "not found");
        response.write("404 not found", true);
    }
}

bool MyHttpRequestHandler::admit(const HttpRequest &request)
{
    const RequestGuard::Verdict verdict = guard.check(request);
    if (verdict == RequestGuard::Allowed)
        return true;
    const char *const kinds[] = {"", "foreign-host", "cross-site", "unproven"};
    qWarning("MyHttpRequestHandler: refused %s request for %s (Host %s, Origin %s)", kinds[verdict],
             request.path().constData(), request.header("Host").constData(), request.header("Origin").constData());
    return false;
}

QByteArray MyHttpRequestHandler::ajaxReply(t_GetArray &parameters)
{
    const QByteArray name = parameters["func"];
    const auto route = routes.constFind(name);
    if (route == routes.constEnd()) {
        // The name comes from the page; encoded, it cannot forge log lines.
        qWarning("MyHttpRequestHandler: unknown function \"%s\"", name.left(64).toPercentEncoding().constData());
        return QByteArray();
    }
    if (route->lock == Lock::None)
        return route->handler(parameters);
    bool scanning = false;
    if (!lockModbus(&scanning)) {
        if (scanning)
            return modbusErrorReply(ModbusError::ScanInProgress);
        qWarning("MyHttpRequestHandler: Modbus lock timed out after %d ms, %s not run", lockTimeout.loadRelaxed(),
                 name.constData());
        return QByteArray();
    }
    const QByteArray result = route->handler(parameters);
    modbusLock.unlock();
    return result;
}

bool MyHttpRequestHandler::lockModbus(bool *scanning)
{
    // A scan holds the bus for long: a call that finds one, or sees one
    // start while it waits, is told so at once.
    const int slice = 50;
    QDeadlineTimer deadline(lockTimeout.loadRelaxed());
    for (;;) {
        *scanning = modbusApi.scanRunning();
        if (*scanning)
            return false;
        const qint64 left = deadline.remainingTime();
        if (modbusLock.tryLock(static_cast<int>(qMin<qint64>(slice, left))))
            break;
        if (deadline.hasExpired())
            return false;
    }
    // The scan may have claimed the scanner while this call took the lock;
    // its thread then waits for this lock, so give way.
    *scanning = modbusApi.scanRunning();
    if (*scanning)
        modbusLock.unlock();
    return !*scanning;
}

void MyHttpRequestHandler::launchScan()
{
    // The last scan's thread has given the scanner back, so it is at its end.
    std::lock_guard<std::mutex> locker(scanThreadLock);
    if (scanThread.joinable())
        scanThread.join();
    scanThread = std::thread([this] { runScan(); });
}

void MyHttpRequestHandler::runScan()
{
    if (modbusLock.tryLock(lockTimeout.loadRelaxed())) {
        modbusApi.runScan();
        modbusLock.unlock();
    } else {
        qWarning("MyHttpRequestHandler: Modbus lock timed out after %d ms, scan not run", lockTimeout.loadRelaxed());
    }
    modbusApi.finishScan();
}

QByteArray MyHttpRequestHandler::runFirmwareUpdater()
{
    qDebug("runFirmwareUpdater");
    PlatformLauncher::startDetached(QStringLiteral("Bootloader.exe"), systemFun->firmwareUpdaterArguments());
    return QByteArray("{\"ok\":\"1\"}");
}

QByteArray MyHttpRequestHandler::startSearchingDevices()
{
    // An earlier search and its helper end with it.
    finderThread->post([this] { deviceFinder->startSearch(); });
    return QByteArray("ok");
}

QByteArray MyHttpRequestHandler::getSearchedDevices()
{
    return finderThread->call([this] { return deviceFinder->getSearchedDevices(); });
}

QByteArray MyHttpRequestHandler::openFtpInExplorer(t_GetArray &parameters)
{
    // Only an ftp:// or ftps:// address with a host is opened.
    const QString address = SystemFun::ftpAddress(parameters.value("address"));
    if (address.isEmpty())
        return QByteArray("{\"error\":\"Parameter error!\"}");
    PlatformLauncher::openInFileBrowser(address);
    return QByteArray("{\"ok\":\"FTP opened\"}");
}

namespace {
bool isToken(const QByteArray &text)
{
    static const QByteArray separators = "()<>@,;:\\\"/[]?={} ";
    if (text.isEmpty())
        return false;
    for (char c : text) {
        if (c <= 0x20 || c >= 0x7F || separators.contains(c))
            return false;
    }
    return true;
}

// type "/" subtype *( ";" parameter ), printable ASCII only; parameter
// values may be tokens or quoted strings.
bool isMediaType(const QByteArray &value)
{
    for (char c : value) {
        if (c < 0x20 || c >= 0x7F)
            return false;
    }
    const QList<QByteArray> pieces = value.split(';');
    const QByteArray type = pieces.first().trimmed();
    const int slash = type.indexOf('/');
    if (slash < 0 || !isToken(type.left(slash)) || !isToken(type.mid(slash + 1)))
        return false;
    for (int i = 1; i < pieces.size(); ++i) {
        const QByteArray parameter = pieces.at(i).trimmed();
        const int equals = parameter.indexOf('=');
        if (equals < 0 || !isToken(parameter.left(equals)))
            return false;
        const QByteArray text = parameter.mid(equals + 1);
        const bool quoted = text.size() >= 2 && text.startsWith('"') && text.endsWith('"')
                && !text.mid(1, text.size() - 2).contains('"') && !text.contains('\\');
        if (!quoted && !isToken(text))
            return false;
    }
    return true;
}
} // namespace

void MyHttpRequestHandler::serviceSaveFile(HttpRequest &request, HttpResponse &response, t_GetArray &parameters)
{
    if (!parameters.contains("filename") || !parameters.contains("fileContent")) {
        response.setStatus(400, "Bad Request");
        response.write(QByteArray(), true);
        return;
    }
    const QByteArray filename = parameters.value("filename");
    const QByteArray content = parameters.value("fileContent");
    if (SystemFun::refuseOversizedPdf(filename, content, response))
        return;
    response.setStatus(200, "OK");
    // A decoded name may carry CR/LF; in a header line they would let the
    // page forge further headers.
    QByteArray headerName = filename;
    headerName.replace('\r', QByteArray()).replace('\n', QByteArray());
    response.setHeader("Content-Disposition", "attachment; filename=" + headerName);
    if (!filename.contains(".pdf")) {
        const QByteArray contentType = request.header("Content-type").trimmed();
        response.setHeader("Content-type", isMediaType(contentType) ? contentType : "application/octet-stream");
        response.write(content, true);
        return;
    }
    response.setHeader("Content-type", "application/pdf");
    const int nul = content.indexOf('\0');
    const QString html = QString::fromUtf8(nul < 0 ? content : content.left(nul));
    response.write(systemFun->createAndRetPdf(html), true);
}

void MyHttpRequestHandler::serviceLoadFile(HttpRequest &request, HttpResponse &response)
{
    QTemporaryFile *file = request.uploadedFile("uploadedfile");
    if (!file) {
        response.setStatus(400, "Bad Request");
        response.write(QByteArray(), true);
        return;
    }
    response.setStatus(200, "OK");
    response.setHeader("Content-type", "text/plain");
    response.write(file->readAll(), true);
}
