#include "eventhub.h"

#include <QEventLoop>
#include <QTimer>

#include "httpresponse.h"

EventHub::EventHub(QObject *parent) : QObject(parent)
{}

void EventHub::publish(const QString &project, const QByteArray &json)
{
    emit values(project, json);
}

void EventHub::end(const QString &project)
{
    emit ended(project);
}

int EventHub::openStreams() const
{
    return streams.loadAcquire();
}

QByteArray EventHub::valuesEvent(const QByteArray &json)
{
    return "event: values\ndata: " + json + "\n\n";
}

void EventHub::serve(HttpResponse &response, const QString &project, const QByteArray &first,
                     const std::function<bool()> &running)
{
    if (streams.fetchAndAddAcquire(1) >= kMaxStreams) {
        streams.fetchAndAddRelease(-1);
        response.setStatus(503, "too many streams");
        response.setHeader("Connection", "close");
        response.write("503 too many streams", true);
        return;
    }
    response.setStatus(200, "OK");
    response.setHeader("Content-Type", "text/event-stream");
    response.setHeader("Cache-Control", "no-store");
    response.write("retry: 3000\n\n" + valuesEvent(first));

    // Runs on this handler thread: the connection handler ignores the
    // socket's further input while a request is being served, and its
    // disconnect slot closes the socket, which the watch below notices.
    QEventLoop loop;
    const auto send = [&](const QByteArray &bytes) {
        response.write(bytes);
        if (!response.isConnected())
            loop.quit();
    };
    connect(
            this, &EventHub::values, &loop,
            [&](const QString &which, const QByteArray &json) {
                if (which == project)
                    send(valuesEvent(json));
            },
            Qt::QueuedConnection);
    connect(
            this, &EventHub::ended, &loop,
            [&](const QString &which) {
                if (which == project)
                    loop.quit();
            },
            Qt::QueuedConnection);
    QTimer keepAlive;
    connect(&keepAlive, &QTimer::timeout, &loop, [&] { send(": keep-alive\n\n"); });
    keepAlive.start(kKeepAliveMs);
    QTimer watch;
    connect(&watch, &QTimer::timeout, &loop, [&] {
        if (!response.isConnected() || !running())
            loop.quit();
    });
    watch.start(1000);
    // The project may have ended before the connections above were made.
    if (running() && response.isConnected())
        loop.exec();
    disconnect(this, nullptr, &loop, nullptr);
    streams.fetchAndAddRelease(-1);
    response.write(QByteArray(), true);
}
