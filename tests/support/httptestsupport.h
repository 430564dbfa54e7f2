#ifndef HTTPTESTSUPPORT_H
#define HTTPTESTSUPPORT_H

// Loopback helpers shared by the HTTP tests: a server built from a settings
// map and a raw client that speaks bytes. The listener lives on the test's
// main thread, so every wait here keeps the event loop running.

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QSettings>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QVariantMap>

#include <functional>
#include <memory>

#include "httpconnectionhandlerpool.h"
#include "httplistener.h"
#include "httprequesthandler.h"

namespace httptest {

inline bool waitFor(const std::function<bool()> &condition, int timeoutMs = 5000)
{
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QTest::qSleep(1);
    }
    return true;
}

// Owns the configuration directory, the settings and the listener; tears the
// listener (and with it every handler thread) down when it goes.
class Server
{
public:
    // prepare runs on the configuration directory before the listener starts.
    Server(HttpRequestHandler *handler, const QVariantMap &listenerSettings,
           const std::function<void(const QString &)> &prepare = {})
    {
        if (prepare)
            prepare(dir.path());
        const QString file = dir.filePath(QStringLiteral("config.ini"));
        {
            QSettings writer(file, QSettings::IniFormat);
            writer.beginGroup(QStringLiteral("listener"));
            writer.setValue(QStringLiteral("host"), QStringLiteral("127.0.0.1"));
            writer.setValue(QStringLiteral("port"), 0);
            for (auto it = listenerSettings.cbegin(); it != listenerSettings.cend(); ++it)
                writer.setValue(it.key(), it.value());
        }
        settings = std::make_unique<QSettings>(file, QSettings::IniFormat);
        settings->beginGroup(QStringLiteral("listener"));
        listener = std::make_unique<HttpListener>(settings.get(), handler);
    }
    ~Server() { listener.reset(); }

    quint16 port() const { return listener->serverPort(); }
    HttpConnectionHandlerPool *pool() const { return listener->connectionPool(); }
    QString configDir() const { return dir.path(); }

    QTemporaryDir dir;
    std::unique_ptr<QSettings> settings;
    std::unique_ptr<HttpListener> listener;
};

class Client
{
public:
    explicit Client(quint16 port)
    {
        socket.connectToHost(QStringLiteral("127.0.0.1"), port);
        socket.waitForConnected(5000);
    }
    bool isConnected() const { return socket.state() == QAbstractSocket::ConnectedState; }

    void send(const QByteArray &bytes)
    {
        socket.write(bytes);
        socket.flush();
    }

    // Collects bytes until the condition on everything received holds.
    bool readUntil(const std::function<bool(const QByteArray &)> &condition, int timeoutMs = 5000)
    {
        return waitFor([&] {
            received += socket.readAll();
            return condition(received);
        }, timeoutMs);
    }

    bool readBytes(int count, int timeoutMs = 5000)
    {
        return readUntil([count](const QByteArray &data) { return data.size() >= count; }, timeoutMs);
    }

    // One whole response (Content-Length, chunked or close-delimited).
    QByteArray readResponse(int timeoutMs = 5000);

    bool waitClosed(int timeoutMs = 5000)
    {
        return waitFor([&] {
            received += socket.readAll();
            return socket.state() == QAbstractSocket::UnconnectedState;
        }, timeoutMs);
    }

    QByteArray take()
    {
        QByteArray data = received;
        received.clear();
        return data;
    }

    QTcpSocket socket;
    QByteArray received;
};

// Length of the first complete response in data, or -1 while incomplete.
// closed: the peer has closed, which ends a close-delimited body.
inline int responseLength(const QByteArray &data, bool closed)
{
    const int headerEnd = data.indexOf("\r\n\r\n");
    if (headerEnd < 0)
        return -1;
    const int bodyStart = headerEnd + 4;
    const QByteArray head = data.left(headerEnd).toLower();
    const int lengthPos = head.indexOf("\r\ncontent-length: ");
    if (lengthPos >= 0) {
        const int end = head.indexOf("\r\n", lengthPos + 2);
        const int length = head.mid(lengthPos + 18, end < 0 ? -1 : end - lengthPos - 18).toInt();
        return data.size() >= bodyStart + length ? bodyStart + length : -1;
    }
    if (head.contains("\r\ntransfer-encoding: chunked")) {
        int pos = bodyStart;
        for (;;) {
            const int lineEnd = data.indexOf("\r\n", pos);
            if (lineEnd < 0)
                return -1;
            bool ok = false;
            const int size = data.mid(pos, lineEnd - pos).toInt(&ok, 16);
            if (!ok)
                return -1;
            if (size == 0)
                return data.size() >= lineEnd + 4 ? lineEnd + 4 : -1;
            pos = lineEnd + 2 + size + 2;
            if (pos > data.size())
                return -1;
        }
    }
    return closed ? data.size() : -1;
}

inline QByteArray Client::readResponse(int timeoutMs)
{
    int length = -1;
    waitFor([&] {
        received += socket.readAll();
        length = responseLength(received, socket.state() == QAbstractSocket::UnconnectedState);
        return length >= 0;
    }, timeoutMs);
    if (length < 0)
        return take();
    const QByteArray response = received.left(length);
    received.remove(0, length);
    return response;
}

// Body of a chunked response, joined; empty when malformed.
inline QByteArray dechunk(const QByteArray &body)
{
    QByteArray out;
    int pos = 0;
    for (;;) {
        const int lineEnd = body.indexOf("\r\n", pos);
        if (lineEnd < 0)
            return QByteArray();
        const int size = body.mid(pos, lineEnd - pos).toInt(nullptr, 16);
        if (size == 0)
            return out;
        out += body.mid(lineEnd + 2, size);
        pos = lineEnd + 2 + size + 2;
    }
}

inline QByteArray headOf(const QByteArray &response)
{
    return response.left(response.indexOf("\r\n\r\n") + 4);
}

inline QByteArray bodyOf(const QByteArray &response)
{
    return response.mid(response.indexOf("\r\n\r\n") + 4);
}

} // namespace httptest

#endif // HTTPTESTSUPPORT_H
