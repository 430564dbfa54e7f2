#ifndef PROJECTAPI_H
#define PROJECTAPI_H

#include <QAtomicInt>
#include <QByteArray>
#include <QObject>
#include <QThread>
#include <QThreadPool>
#include <memory>
#include <mutex>

#include "devicemaster.h"
#include "eventhub.h"
#include "config.h"
#include "mqttsettings.h"
#include "projectstore.h"
#include "tgetarray.h"

class BusLines;
class HttpRequest;
class HttpResponse;
class MqttPublisher;
class ProjectRunner;

// The project functions of the AJAX interface: saved projects, the one
// running project (its poller, log, live stream and MQTT), and writes to
// its tags. Every function may be called from any handler thread.
class ProjectApi : public QObject
{
    Q_OBJECT
public:
    // monitor: where the project's transfers are seen besides its tags.
    explicit ProjectApi(BusLines &lines, const BusMonitor &monitor = BusMonitor(), QObject *parent = nullptr);
    ~ProjectApi() override;

    // Before the first request; what later starts use.
    void configure(const MqttSettings &mqtt, const LoggingSettings &logging);
    void setStoreDirectory(const QString &directory);

    QByteArray listProjects();
    QByteArray getProject(const t_GetArray &params);
    QByteArray saveProject(const t_GetArray &params);
    QByteArray deleteProject(const t_GetArray &params);
    QByteArray startProject(const t_GetArray &params);
    QByteArray stopProject();
    QByteArray getTagValues();
    QByteArray writeTag(const t_GetArray &params);
    QByteArray listLogs();
    QByteArray getMqttStatus();
    // The file as text/csv, or ERR_INPUT_PARAMS for any name listLogs does not give.
    void downloadLog(const t_GetArray &params, HttpResponse &response);
    // GET events.html?project=<name>: the running project's live values.
    void serviceEvents(HttpRequest &request, HttpResponse &response);

    // A tag of the running project written with the value's text (a number,
    // true or false, or {"v":number}); the reply of the write.
    QByteArray writeTagValue(const QString &tag, const QByteArray &value);

    static constexpr int kMaxQueuedSetWrites = 64;

private:
    std::shared_ptr<ProjectRunner> running() const;
    void stopRunning(); // with startLock held
    QString logDirectory() const;
    void setRequested(const QString &tag, const QByteArray &payload);

    BusLines &lines;
    const BusMonitor monitor;
    ProjectStore store;
    MqttSettings mqtt;
    LoggingSettings logging;
    EventHub hub;

    std::mutex startLock; // one start or stop at a time
    mutable std::mutex runnerLock;
    std::shared_ptr<ProjectRunner> runner;

    QThread mqttThread;
    MqttPublisher *publisher = nullptr; // lives on mqttThread
    QThreadPool setWrites; // MQTT set writes, off the MQTT thread, one at a time
    QAtomicInt queuedSetWrites{0};
};

#endif // PROJECTAPI_H
