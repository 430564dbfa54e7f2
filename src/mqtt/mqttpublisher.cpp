#include "mqttpublisher.h"

#include <QDeadlineTimer>
#include <QDebug>
#include <QSocketNotifier>
#include <QThread>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mosquitto.h>

namespace {

std::once_flag libraryReady;

QString errorText(int rc, int savedErrno)
{
    if (rc == MOSQ_ERR_ERRNO && savedErrno != 0)
        return QString::fromLocal8Bit(std::strerror(savedErrno));
    return QString::fromUtf8(mosquitto_strerror(rc));
}

} // namespace

MqttPublisher::MqttPublisher(QObject *parent) : QObject(parent), tick(this), connectDeadline(this), retry(this)
{
    std::call_once(libraryReady, [] { mosquitto_lib_init(); });
    tick.setInterval(1000);
    connect(&tick, &QTimer::timeout, this, &MqttPublisher::service);
    connectDeadline.setSingleShot(true);
    connect(&connectDeadline, &QTimer::timeout, this,
            [this] { dropConnection(QStringLiteral("The broker did not answer in time.")); });
    retry.setSingleShot(true);
    connect(&retry, &QTimer::timeout, this, &MqttPublisher::connectToBroker);
}

MqttPublisher::~MqttPublisher()
{
    shutdown();
}

template<typename F>
bool MqttPublisher::runOnOwnThread(F &&call)
{
    if (QThread::currentThread() == thread())
        return false;
    QMetaObject::invokeMethod(this, std::forward<F>(call), Qt::QueuedConnection);
    return true;
}

MqttStatus MqttPublisher::status() const
{
    std::lock_guard<std::mutex> locker(statusLock);
    return shared;
}

QString MqttPublisher::statusTopic() const
{
    return settings.topicPrefix + QStringLiteral("/status");
}

QString MqttPublisher::valueTopic(const QString &tag) const
{
    return settings.topicPrefix + QLatin1Char('/') + project + QLatin1Char('/') + tag;
}

QByteArray MqttPublisher::setTopic(const QString &forProject) const
{
    return (settings.topicPrefix + QLatin1Char('/') + forProject + QStringLiteral("/+/set")).toUtf8();
}

void MqttPublisher::start(const MqttSettings &newSettings, const QString &newProject)
{
    if (runOnOwnThread([this, newSettings, newProject] { start(newSettings, newProject); }))
        return;
    shutdown();
    settings = newSettings.withDefaults();
    project = newProject;
    retryMs = kFirstRetryMs;
    if (settings.host.isEmpty()) {
        setLastError(QStringLiteral("No broker host is set."));
        return;
    }
    if (mosquitto_pub_topic_check(statusTopic().toUtf8().constData()) != MOSQ_ERR_SUCCESS
        || mosquitto_sub_topic_check(setTopic(project).constData()) != MOSQ_ERR_SUCCESS) {
        setLastError(QStringLiteral("The topic prefix is not a valid topic."));
        return;
    }
    running = true;
    connectToBroker();
}

void MqttPublisher::stop()
{
    if (runOnOwnThread([this] { stop(); }))
        return;
    shutdown();
}

void MqttPublisher::shutdown()
{
    running = false;
    retry.stop();
    if (client && online) {
        // A clean disconnect does not fire the will, so say it ourselves. At
        // QoS 0 it goes out at once, ahead of the DISCONNECT, even when the
        // in-flight window is full.
        const QByteArray topic = statusTopic().toUtf8();
        mosquitto_publish(client, nullptr, topic.constData(), 7, "offline", 0, true);
        mosquitto_disconnect(client);
        const QDeadlineTimer deadline(2000);
        while (mosquitto_socket(client) != -1 && !deadline.hasExpired()) {
            if (mosquitto_loop(client, 50, 1) != MOSQ_ERR_SUCCESS)
                break;
        }
    }
    destroyClient();
    pending.clear();
    pendingOrder.clear();
    unacknowledged.clear();
    setConnected(false);
}

void MqttPublisher::setProject(const QString &newProject)
{
    if (runOnOwnThread([this, newProject] { setProject(newProject); }))
        return;
    if (newProject == project)
        return;
    if (client && online)
        mosquitto_unsubscribe(client, nullptr, setTopic(project).constData());
    project = newProject;
    if (client && online)
        subscribe();
}

void MqttPublisher::publishValue(const QString &tag, const QByteArray &payload)
{
    if (runOnOwnThread([this, tag, payload] { publishValue(tag, payload); }))
        return;
    if (!running)
        return;
    enqueue(valueTopic(tag).toUtf8(), payload, true);
    flush();
}

void MqttPublisher::publishSetResult(const QString &tag, const QByteArray &reply)
{
    if (runOnOwnThread([this, tag, reply] { publishSetResult(tag, reply); }))
        return;
    if (!running)
        return;
    enqueue((valueTopic(tag) + QStringLiteral("/set/result")).toUtf8(), reply, false);
    flush();
}

void MqttPublisher::connectToBroker()
{
    if (!running)
        return;
    destroyClient();
    client = mosquitto_new(settings.clientId.toUtf8().constData(), true, this);
    if (!client) {
        dropConnection(QString::fromUtf8(mosquitto_strerror(MOSQ_ERR_NOMEM)));
        return;
    }
    mosquitto_connect_callback_set(client, &MqttPublisher::onConnect);
    mosquitto_disconnect_callback_set(client, &MqttPublisher::onDisconnect);
    mosquitto_publish_callback_set(client, &MqttPublisher::onPublish);
    mosquitto_message_callback_set(client, &MqttPublisher::onMessage);
    const QByteArray status = statusTopic().toUtf8();
    int rc = mosquitto_will_set(client, status.constData(), 7, "offline", 1, true);
    if (rc == MOSQ_ERR_SUCCESS && !settings.user.isEmpty())
        rc = mosquitto_username_pw_set(client, settings.user.toUtf8().constData(),
                                       settings.password.isEmpty() ? nullptr : settings.password.toUtf8().constData());
    if (rc == MOSQ_ERR_SUCCESS && settings.tls) {
        if (settings.caFile.isEmpty())
            rc = mosquitto_int_option(client, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
        else
            rc = mosquitto_tls_set(client, settings.caFile.toLocal8Bit().constData(), nullptr, nullptr, nullptr,
                                   nullptr);
    }
    if (rc == MOSQ_ERR_SUCCESS) {
        errno = 0;
        rc = mosquitto_connect_async(client, settings.host.toUtf8().constData(), settings.port, kKeepAliveSeconds);
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        dropConnection(errorText(rc, errno));
        return;
    }
    const int socket = mosquitto_socket(client);
    readNotifier = new QSocketNotifier(socket, QSocketNotifier::Read, this);
    connect(readNotifier, &QSocketNotifier::activated, this, &MqttPublisher::service);
    // On at first: the connection is in progress and CONNECT waits to go out.
    writeNotifier = new QSocketNotifier(socket, QSocketNotifier::Write, this);
    connect(writeNotifier, &QSocketNotifier::activated, this, &MqttPublisher::writable);
    tick.start();
    connectDeadline.start(kConnectTimeoutMs);
    service();
}

void MqttPublisher::service()
{
    if (!client)
        return;
    errno = 0;
    const int rc = mosquitto_loop(client, 0, 1);
    const int savedErrno = errno;
    if (refusal != 0) {
        dropConnection(QString::fromUtf8(mosquitto_connack_string(refusal)));
        return;
    }
    if (rc != MOSQ_ERR_SUCCESS || lost) {
        const int why = rc != MOSQ_ERR_SUCCESS ? rc : lostRc;
        dropConnection(why != MOSQ_ERR_SUCCESS ? errorText(why, savedErrno)
                                               : QStringLiteral("The broker closed the connection."));
        return;
    }
    if (sessionUp && !online) {
        connectDeadline.stop();
        retryMs = kFirstRetryMs;
        setConnected(true);
        subscribe();
        enqueue(statusTopic().toUtf8(), QByteArrayLiteral("online"), true, true);
    }
    flush();
}

void MqttPublisher::writable()
{
    service();
    // During a TLS handshake the library holds CONNECT back until the broker
    // answers, yet still wants to write: look again shortly, not at once.
    if (!online && writeNotifier && writeNotifier->isEnabled()) {
        writeNotifier->setEnabled(false);
        QTimer::singleShot(10, this, [this] {
            if (client && writeNotifier)
                writeNotifier->setEnabled(mosquitto_want_write(client));
        });
    }
}

void MqttPublisher::subscribe()
{
    if (!project.isEmpty())
        mosquitto_subscribe(client, nullptr, setTopic(project).constData(), 1);
}

void MqttPublisher::flush()
{
    while (client && online && unacknowledged.size() < kMaxUnacknowledged && !pendingOrder.isEmpty()) {
        const QByteArray topic = pendingOrder.takeFirst();
        const Message message = pending.take(topic);
        int mid = 0;
        errno = 0;
        const int rc = mosquitto_publish(client, &mid, message.topic.constData(), message.payload.size(),
                                         message.payload.constData(), 1, message.retain);
        if (rc == MOSQ_ERR_SUCCESS) {
            unacknowledged.insert(mid, message);
        } else if (rc == MOSQ_ERR_NO_CONN || rc == MOSQ_ERR_CONN_LOST || rc == MOSQ_ERR_ERRNO) {
            // The connection broke under us; the next loop call says so.
            unacknowledged.insert(mid, message);
            break;
        } else {
            // The message itself is refused (size, UTF-8): drop it, not the connection.
            setLastError(errorText(rc, errno));
        }
    }
    if (client && writeNotifier)
        writeNotifier->setEnabled(mosquitto_want_write(client));
}

void MqttPublisher::enqueue(const QByteArray &topic, const QByteArray &payload, bool retain, bool first)
{
    if (!pending.contains(topic)) {
        if (first)
            pendingOrder.prepend(topic);
        else
            pendingOrder.append(topic);
    } else if (first) {
        pendingOrder.removeOne(topic);
        pendingOrder.prepend(topic);
    }
    pending.insert(topic, Message{topic, payload, retain, nextSequence++});
}

void MqttPublisher::dropConnection(const QString &why)
{
    destroyClient();
    // What the broker never acknowledged waits again, unless a newer
    // message for its topic already does; the newest of several goes first.
    QList<Message> back = unacknowledged.values();
    unacknowledged.clear();
    std::sort(back.begin(), back.end(), [](const Message &a, const Message &b) { return a.sequence > b.sequence; });
    for (const Message &message : qAsConst(back)) {
        if (!pending.contains(message.topic)) {
            pending.insert(message.topic, message);
            pendingOrder.prepend(message.topic);
        }
    }
    setConnected(false);
    setLastError(why);
    if (running) {
        qWarning().noquote() << "MqttPublisher:" << settings.host << why << "- retrying in" << retryMs << "ms";
        retry.start(retryMs);
        retryMs = std::min(retryMs * 2, kLastRetryMs);
    }
}

void MqttPublisher::destroyClient()
{
    tick.stop();
    connectDeadline.stop();
    // Off the dispatcher now, before the library closes the socket; deleted
    // later, as this may run inside one of their own signals.
    for (QSocketNotifier *notifier : {readNotifier.data(), writeNotifier.data()}) {
        if (notifier) {
            notifier->setEnabled(false);
            notifier->deleteLater();
        }
    }
    readNotifier.clear();
    writeNotifier.clear();
    if (client) {
        mosquitto_destroy(client);
        client = nullptr;
    }
    sessionUp = false;
    lost = false;
    refusal = 0;
    lostRc = 0;
}

void MqttPublisher::setConnected(bool connected)
{
    const bool changed = connected != online;
    online = connected;
    {
        std::lock_guard<std::mutex> locker(statusLock);
        shared.connected = connected;
        if (connected)
            shared.lastError.clear();
    }
    if (changed)
        emit connectedChanged(connected);
}

void MqttPublisher::setLastError(const QString &error)
{
    std::lock_guard<std::mutex> locker(statusLock);
    shared.lastError = error;
}

void MqttPublisher::onConnect(mosquitto *, void *self, int rc)
{
    auto *publisher = static_cast<MqttPublisher *>(self);
    if (rc == 0)
        publisher->sessionUp = true;
    else
        publisher->refusal = rc;
}

void MqttPublisher::onDisconnect(mosquitto *, void *self, int rc)
{
    auto *publisher = static_cast<MqttPublisher *>(self);
    publisher->lost = true;
    publisher->lostRc = rc;
}

void MqttPublisher::onPublish(mosquitto *, void *self, int mid)
{
    auto *publisher = static_cast<MqttPublisher *>(self);
    if (publisher->unacknowledged.remove(mid) > 0) {
        std::lock_guard<std::mutex> locker(publisher->statusLock);
        ++publisher->shared.published;
    }
}

void MqttPublisher::onMessage(mosquitto *, void *self, const mosquitto_message *message)
{
    auto *publisher = static_cast<MqttPublisher *>(self);
    const QByteArray topic(message->topic);
    const QByteArray head =
            (publisher->settings.topicPrefix + QLatin1Char('/') + publisher->project + QLatin1Char('/')).toUtf8();
    const QByteArray tail("/set");
    if (!topic.startsWith(head) || !topic.endsWith(tail) || topic.size() <= head.size() + tail.size())
        return;
    const QByteArray tag = topic.mid(head.size(), topic.size() - head.size() - tail.size());
    if (tag.contains('/'))
        return;
    if (message->retain || message->payloadlen > kMaxSetPayload) {
        qWarning().noquote() << "MqttPublisher:" << (message->retain ? "retained" : "oversized")
                             << "set message ignored on" << QString::fromUtf8(topic);
        return;
    }
    const QByteArray payload(static_cast<const char *>(message->payload), message->payloadlen);
    // Out of the library's call stack before anyone acts on it.
    QMetaObject::invokeMethod(
            publisher,
            [publisher, tag = QString::fromUtf8(tag), payload] { emit publisher->setRequested(tag, payload); },
            Qt::QueuedConnection);
}
