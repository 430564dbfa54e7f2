#ifndef MQTTPUBLISHER_H
#define MQTTPUBLISHER_H

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <mutex>

#include "mqttsettings.h"
#include "mqttstatus.h"

class QSocketNotifier;
struct mosquitto;
struct mosquitto_message;

// Publishes a running project's tag values to an MQTT broker and passes on
// the writes asked for on <prefix>/<project>/<tag>/set.
//
// libmosquitto is driven from this object's thread: socket notifiers and a
// one-second timer call mosquitto_loop with no wait, so every callback runs
// here and no state is shared with a library thread. Only status() is read
// from other threads. Reconnecting is ours too (1 s doubling to 30 s), as a
// fresh client each time: whatever the broker had not acknowledged goes back
// into the latest-value-per-topic store rather than being resent in order,
// so a broker that comes back gets one message per tag, not the backlog.
// At most 20 messages are unacknowledged at once; the rest wait in that store.
// A host name is resolved on this thread when connecting: give an address
// where a slow resolver would hold up the thread's other work.
class MqttPublisher : public QObject
{
    Q_OBJECT
public:
    explicit MqttPublisher(QObject *parent = nullptr);
    ~MqttPublisher() override;

    // Any thread.
    MqttStatus status() const;

    // Topics, with the settings' defaults filled in; this object's thread only.
    QString statusTopic() const; // <prefix>/status
    QString valueTopic(const QString &tag) const; // <prefix>/<project>/<tag>

    static constexpr int kMaxUnacknowledged = 20;
    static constexpr int kKeepAliveSeconds = 30;
    static constexpr int kConnectTimeoutMs = 10000;
    static constexpr int kFirstRetryMs = 1000;
    static constexpr int kLastRetryMs = 30000;
    static constexpr int kMaxSetPayload = 4096; // longer set payloads are no value anyone writes

public slots:
    // Every slot may be called from any thread; calls from another thread
    // run later on this object's thread, in the order they were made.

    // Connects (again) and keeps connecting until stop(). The settings'
    // defaults are filled in here.
    void start(const MqttSettings &settings, const QString &project);
    // Publishes "offline" (retained), disconnects and forgets what was unsent.
    void stop();
    // Moves the set subscription to another project.
    void setProject(const QString &project);
    // {"v":...,"t":...,"q":"..."} to <prefix>/<project>/<tag>, retained, QoS 1.
    void publishValue(const QString &tag, const QByteArray &payload);
    // The write reply text to <prefix>/<project>/<tag>/set/result, QoS 1.
    void publishSetResult(const QString &tag, const QByteArray &reply);

signals:
    // A payload arrived on <prefix>/<project>/<tag>/set. Whether the tag may
    // be written is the receiver's call. Retained set messages are ignored:
    // they would write again at every reconnect.
    void setRequested(const QString &tag, const QByteArray &payload);
    void connectedChanged(bool connected);

private:
    struct Message
    {
        QByteArray topic;
        QByteArray payload;
        bool retain = false;
        quint64 sequence = 0;
    };

    static void onConnect(mosquitto *, void *self, int rc);
    static void onDisconnect(mosquitto *, void *self, int rc);
    static void onPublish(mosquitto *, void *self, int mid);
    static void onMessage(mosquitto *, void *self, const mosquitto_message *message);

    template<typename F>
    bool runOnOwnThread(F &&call);
    void shutdown();
    void connectToBroker();
    void service();
    void writable();
    void dropConnection(const QString &why);
    void destroyClient();
    void flush();
    void enqueue(const QByteArray &topic, const QByteArray &payload, bool retain, bool first = false);
    void subscribe();
    QByteArray setTopic(const QString &project) const;
    void setConnected(bool connected);
    void setLastError(const QString &error);

    MqttSettings settings;
    QString project;
    bool running = false;
    bool online = false; // this thread's view of the session
    mosquitto *client = nullptr;
    QPointer<QSocketNotifier> readNotifier;
    QPointer<QSocketNotifier> writeNotifier;
    QTimer tick; // keep-alive, and what a notifier cannot see
    QTimer connectDeadline;
    QTimer retry;
    int retryMs = kFirstRetryMs;

    // Set by the library's callbacks during mosquitto_loop, acted on after it.
    bool sessionUp = false;
    bool lost = false;
    int refusal = 0;
    int lostRc = 0;

    // The newest unsent message per topic, in the order topics first waited.
    QHash<QByteArray, Message> pending;
    QList<QByteArray> pendingOrder;
    QHash<int, Message> unacknowledged; // by message id
    quint64 nextSequence = 0;

    mutable std::mutex statusLock;
    MqttStatus shared;
};

#endif // MQTTPUBLISHER_H
