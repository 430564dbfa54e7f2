#ifndef EVENTHUB_H
#define EVENTHUB_H

#include <QAtomicInt>
#include <QByteArray>
#include <QObject>
#include <QString>
#include <functional>

class HttpResponse;

// The Server-Sent Events streams of the running project. The poller's cycle
// hands each values JSON here once; every open stream writes it from its own
// handler thread, so many browsers share the one poller.
class EventHub : public QObject
{
    Q_OBJECT
public:
    static constexpr int kMaxStreams = 16;
    static constexpr int kKeepAliveMs = 15000;

    explicit EventHub(QObject *parent = nullptr);

    // Any thread.
    void publish(const QString &project, const QByteArray &json);
    void end(const QString &project);
    int openStreams() const;

    // On a handler thread: answers 503 beyond kMaxStreams; otherwise sends
    // first, then each of the project's cycles as `event: values`, and a
    // comment every kKeepAliveMs, until the client goes away, the project
    // ends, or running() turns false (asked once a second).
    void serve(HttpResponse &response, const QString &project, const QByteArray &first,
               const std::function<bool()> &running);

    static QByteArray valuesEvent(const QByteArray &json);

signals:
    void values(const QString &project, const QByteArray &json);
    void ended(const QString &project);

private:
    QAtomicInt streams{0};
};

#endif // EVENTHUB_H
