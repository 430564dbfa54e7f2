#include "projectapi.h"

#include <QDebug>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <cmath>

#include "csvlogger.h"
#include "httprequest.h"
#include "httpresponse.h"
#include "jsontext.h"
#include "modbusapi.h"
#include "mqttpublisher.h"
#include "mqttstatus.h"
#include "projectrunner.h"
#include "tagcodec.h"

namespace {

QByteArray inputError()
{
    return modbusErrorReply(ModbusError::InvalidRequest);
}

QByteArray okReply(const char *text)
{
    return QByteArray("{\"ok\":\"") + text + "\"}";
}

QByteArray nameList(const QStringList &names)
{
    QByteArray out("[");
    for (int i = 0; i < names.size(); ++i) {
        if (i > 0)
            out += ',';
        out += '"' + jsonEscape(names.at(i).toUtf8()) + '"';
    }
    return out + ']';
}

// A number, true or false, or {"v":number} as MQTT clients often send.
bool readValue(const QByteArray &text, double *value)
{
    const QByteArray trimmed = text.trimmed();
    if (trimmed == "true" || trimmed == "false") {
        *value = trimmed == "true" ? 1 : 0;
        return true;
    }
    if (trimmed.startsWith('{')) {
        const QJsonValue v = parseForeignJson(trimmed).object().value(QStringLiteral("v"));
        if (v.isBool())
            *value = v.toBool() ? 1 : 0;
        else if (v.isDouble())
            *value = v.toDouble();
        else
            return false;
        return true;
    }
    bool ok = false;
    *value = trimmed.toDouble(&ok);
    return ok && std::isfinite(*value);
}

} // namespace

ProjectApi::ProjectApi(BusLines &lines, const BusMonitor &monitor, QObject *parent)
    : QObject(parent), lines(lines), monitor(monitor)
{
    publisher = new MqttPublisher;
    publisher->moveToThread(&mqttThread);
    connect(
            publisher, &MqttPublisher::setRequested, publisher,
            [this](const QString &tag, const QByteArray &payload) { setRequested(tag, payload); },
            Qt::DirectConnection);
    mqttThread.setObjectName(QStringLiteral("mqtt"));
    mqttThread.start();
    setWrites.setMaxThreadCount(1);
}

ProjectApi::~ProjectApi()
{
    {
        std::lock_guard<std::mutex> locker(startLock);
        stopRunning();
    }
    setWrites.waitForDone();
    // Deleted on its own thread, which says "offline" to the broker.
    MqttPublisher *const doomed = publisher;
    QMetaObject::invokeMethod(
            doomed, [doomed] { delete doomed; }, Qt::BlockingQueuedConnection);
    mqttThread.quit();
    mqttThread.wait();
}

void ProjectApi::configure(const MqttSettings &mqttSettings, const LoggingSettings &loggingSettings)
{
    std::lock_guard<std::mutex> locker(startLock);
    mqtt = mqttSettings;
    logging = loggingSettings;
}

void ProjectApi::setStoreDirectory(const QString &directory)
{
    std::lock_guard<std::mutex> locker(startLock);
    store = ProjectStore(directory);
}

std::shared_ptr<ProjectRunner> ProjectApi::running() const
{
    std::lock_guard<std::mutex> locker(runnerLock);
    return runner;
}

QString ProjectApi::logDirectory() const
{
    return logging.directory.isEmpty() ? CsvLogger::defaultDirectory() : logging.directory;
}

QByteArray ProjectApi::listProjects()
{
    std::lock_guard<std::mutex> locker(startLock);
    return nameList(store.list());
}

QByteArray ProjectApi::getProject(const t_GetArray &params)
{
    QByteArray json;
    std::lock_guard<std::mutex> locker(startLock);
    if (!store.load(QString::fromUtf8(params.value("name")), &json))
        return inputError();
    return json;
}

QByteArray ProjectApi::saveProject(const t_GetArray &params)
{
    if (!params.contains("name") || !params.contains("json"))
        return inputError();
    std::lock_guard<std::mutex> locker(startLock);
    const QString error = store.save(QString::fromUtf8(params.value("name")), params.value("json"));
    if (!error.isEmpty())
        return "{\"error\":\"" + jsonEscape(error.toUtf8()) + "\"}";
    return okReply("Project saved");
}

QByteArray ProjectApi::deleteProject(const t_GetArray &params)
{
    std::lock_guard<std::mutex> locker(startLock);
    if (!store.remove(QString::fromUtf8(params.value("name"))))
        return inputError();
    return okReply("Project deleted");
}

void ProjectApi::stopRunning()
{
    std::shared_ptr<ProjectRunner> old;
    {
        std::lock_guard<std::mutex> locker(runnerLock);
        old.swap(runner);
    }
    if (!old)
        return;
    old->stop();
    hub.end(old->name());
    if (!mqtt.host.isEmpty())
        publisher->stop();
}

QByteArray ProjectApi::startProject(const t_GetArray &params)
{
    const QString name = QString::fromUtf8(params.value("name"));
    std::lock_guard<std::mutex> locker(startLock);
    QByteArray json;
    if (!store.load(name, &json))
        return inputError();
    Project project;
    const QString error = validateProject(json, &project);
    if (!error.isEmpty())
        return "{\"error\":\"" + jsonEscape(error.toUtf8()) + "\"}";
    stopRunning();

    ProjectRunner::Sinks sinks;
    sinks.logDirectory = logDirectory();
    sinks.keepDays = logging.keepDays;
    sinks.monitor = monitor;
    sinks.cycle = [this, name](const QByteArray &values) { hub.publish(name, values); };
    if (!mqtt.host.isEmpty()) {
        MqttPublisher *const out = publisher;
        sinks.tagChanged = [out](const QString &tag, const QByteArray &payload) { out->publishValue(tag, payload); };
        publisher->start(mqtt, name);
    }
    auto started = std::make_shared<ProjectRunner>(lines, name, project, sinks);
    std::lock_guard<std::mutex> runnerLocker(runnerLock);
    runner = started;
    return okReply("Project started");
}

QByteArray ProjectApi::stopProject()
{
    std::lock_guard<std::mutex> locker(startLock);
    stopRunning();
    return okReply("Project stopped");
}

QByteArray ProjectApi::getTagValues()
{
    const std::shared_ptr<ProjectRunner> current = running();
    // Nothing runs: no project, no tags.
    return current ? current->valuesJson() : QByteArray("{\"project\":\"\",\"tags\":{}}");
}

QByteArray ProjectApi::writeTag(const t_GetArray &params)
{
    if (!params.contains("name") || !params.contains("value"))
        return inputError();
    return writeTagValue(QString::fromUtf8(params.value("name")), params.value("value"));
}

QByteArray ProjectApi::writeTagValue(const QString &tagName, const QByteArray &value)
{
    const std::shared_ptr<ProjectRunner> current = running();
    if (!current)
        return modbusErrorReply(ModbusError::NotConnected);
    const Project &project = current->project();
    const ProjectTag *tag = nullptr;
    for (const ProjectTag &candidate : project.tags) {
        if (candidate.name == tagName)
            tag = &candidate;
    }
    double number = 0;
    if (!tag || !tag->writable || !readValue(value, &number))
        return inputError();
    double raw = 0;
    if (!unscaleValue(number, *tag, &raw))
        return modbusErrorReply(ModbusError::ValueList);

    // A master of its own for this one write, on this thread; the line's
    // lock puts it between the poller's transfers.
    DeviceMaster master(lines, monitor);
    ModbusEngine &engine = master.engine();
    const ProjectDevice &device = project.devices.at(tag->deviceIndex);
    ModbusOutcome outcome;
    if (!master.connect(device).ok()) {
        // Over TCP the write would find the host gone the same way.
        outcome = device.link == ProjectDevice::Link::Serial ? ModbusError::NotConnected : ModbusError::HostUnreachable;
    } else {
        outcome = engine.write(tagWriteRequest(*tag, raw));
    }
    if (!outcome.ok()) {
        const bool fault = outcome.error == ModbusError::ProtocolFault;
        return modbusErrorReply(outcome.error, fault ? engine.libraryErrorText(outcome.libraryErrno) : QString());
    }
    return okReply("Values successfully sent.");
}

void ProjectApi::setRequested(const QString &tag, const QByteArray &payload)
{
    // On the MQTT thread: the bus write runs elsewhere, and a flood of set
    // messages is cut off rather than queued without bound.
    if (queuedSetWrites.fetchAndAddAcquire(1) >= kMaxQueuedSetWrites) {
        queuedSetWrites.fetchAndAddRelease(-1);
        qWarning("ProjectApi: too many MQTT set messages waiting, one for %s dropped", qPrintable(tag));
        return;
    }
    MqttPublisher *const out = publisher;
    setWrites.start([this, out, tag, payload] {
        const QByteArray reply = writeTagValue(tag, payload);
        out->publishSetResult(tag, reply);
        queuedSetWrites.fetchAndAddRelease(-1);
    });
}

QByteArray ProjectApi::listLogs()
{
    std::lock_guard<std::mutex> locker(startLock);
    return nameList(CsvLogger::logFiles(logDirectory()));
}

void ProjectApi::downloadLog(const t_GetArray &params, HttpResponse &response)
{
    QString path;
    {
        std::lock_guard<std::mutex> locker(startLock);
        path = CsvLogger::logFilePath(logDirectory(), QString::fromUtf8(params.value("file")));
    }
    QFile file(path);
    if (path.isEmpty() || !file.open(QIODevice::ReadOnly)) {
        response.setStatus(200, "OK");
        response.setHeader("Content-Type", "text/html");
        response.write(inputError(), true);
        return;
    }
    response.setStatus(200, "OK");
    response.setHeader("Content-Type", "text/csv");
    // The name is one listLogs gave: letters, digits, - _ and .csv only.
    response.setHeader("Content-Disposition", "attachment; filename=" + params.value("file"));
    // Today's file keeps growing while it is sent; what was there at the start goes.
    qint64 left = file.size();
    while (left > 0 && response.isConnected()) {
        const QByteArray block = file.read(qMin<qint64>(left, 65536));
        if (block.isEmpty())
            break;
        left -= block.size();
        response.write(block, left <= 0);
    }
}

QByteArray ProjectApi::getMqttStatus()
{
    return mqttStatusJson(publisher->status());
}

void ProjectApi::serviceEvents(HttpRequest &request, HttpResponse &response)
{
    const QString name = QString::fromUtf8(request.parameter("project"));
    std::weak_ptr<ProjectRunner> watched;
    QByteArray first;
    {
        const std::shared_ptr<ProjectRunner> current = running();
        if (current && current->name() == name) {
            watched = current;
            first = current->valuesJson();
        }
    }
    if (first.isEmpty()) {
        response.setStatus(404, "not found");
        response.write("404 not found", true);
        return;
    }
    hub.serve(response, name, first, [this, watched] {
        const std::shared_ptr<ProjectRunner> watching = watched.lock();
        return watching && running() == watching;
    });
}
