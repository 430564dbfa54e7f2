#ifndef HTTPCLIENT_H
#define HTTPCLIENT_H

// The one HTTP test client. httptest::Client speaks raw bytes on the calling
// thread and keeps its event loop turning (for servers in the test process);
// testclient::exchange sends one request from a thread of its own and returns
// the parsed reply. Both find the end of a response with responseLength.

#include <QByteArray>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QMap>
#include <QTcpSocket>
#include <QTest>
#include <QThread>

#include <functional>
#include <memory>

struct HttpReply
{
    bool complete = false;
    int status = 0;
    QByteArray statusLine;
    QMap<QByteArray, QByteArray> headers; // names as sent
    QByteArray body;

    bool hasHeader(const QByteArray &name) const { return headers.contains(name); }
};

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
        return waitFor(
                [&] {
                    received += socket.readAll();
                    return condition(received);
                },
                timeoutMs);
    }

    bool readBytes(int count, int timeoutMs = 5000)
    {
        return readUntil([count](const QByteArray &data) { return data.size() >= count; }, timeoutMs);
    }

    // One whole response (Content-Length, chunked or close-delimited).
    QByteArray readResponse(int timeoutMs = 5000);

    bool waitClosed(int timeoutMs = 5000)
    {
        return waitFor(
                [&] {
                    received += socket.readAll();
                    return socket.state() == QAbstractSocket::UnconnectedState;
                },
                timeoutMs);
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
    waitFor(
            [&] {
                received += socket.readAll();
                length = responseLength(received, socket.state() == QAbstractSocket::UnconnectedState);
                return length >= 0;
            },
            timeoutMs);
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

// The response's status line, headers and body (de-chunked); complete is
// left for the caller, who knows whether the response was whole.
inline HttpReply parseReply(const QByteArray &response)
{
    HttpReply reply;
    const int headEnd = response.indexOf("\r\n\r\n");
    const QList<QByteArray> lines = response.left(headEnd < 0 ? response.size() : headEnd).split('\n');
    reply.statusLine = lines.value(0).trimmed();
    reply.status = reply.statusLine.split(' ').value(1).toInt();
    for (int i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines.at(i).trimmed();
        const int colon = line.indexOf(':');
        if (colon > 0)
            reply.headers.insert(line.left(colon), line.mid(colon + 1).trimmed());
    }
    if (headEnd >= 0) {
        const QByteArray body = response.mid(headEnd + 4);
        reply.body = reply.headers.value("Transfer-Encoding") == "chunked" ? dechunk(body) : body;
    }
    return reply;
}

} // namespace httptest

namespace testclient {

const int waitLimit = 15000; // a guard against hangs, not a measured time

inline HttpReply exchangeBlocking(quint16 port, const QByteArray &request)
{
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), port);
    if (!socket.waitForConnected(waitLimit))
        return HttpReply();
    socket.write(request);
    if (!socket.waitForBytesWritten(waitLimit))
        return HttpReply();

    QByteArray buffer;
    for (;;) {
        const bool closed = socket.state() == QAbstractSocket::UnconnectedState;
        const int length = httptest::responseLength(buffer, closed);
        if (length >= 0) {
            HttpReply reply = httptest::parseReply(buffer.left(length));
            reply.complete = true;
            return reply;
        }
        if (closed)
            break;
        const bool more = socket.waitForReadyRead(waitLimit);
        buffer += socket.readAll();
        if (!more && socket.state() != QAbstractSocket::UnconnectedState)
            break; // nothing within the limit
    }
    return httptest::parseReply(buffer);
}

// Sends one request on a fresh connection and returns the parsed reply.
inline HttpReply exchange(quint16 port, const QByteArray &request)
{
    HttpReply reply;
    std::unique_ptr<QThread> worker(QThread::create([&] { reply = exchangeBlocking(port, request); }));
    QEventLoop loop;
    QObject::connect(worker.get(), &QThread::finished, &loop, &QEventLoop::quit);
    worker->start();
    loop.exec();
    worker->wait();
    return reply;
}

// What the gateway's own page sends with every call (a script of another
// site cannot send it without a preflight, which is never granted).
const QByteArray proofHeader = "X-Requested-With: XMLHttpRequest\r\n";

inline HttpReply get(quint16 port, const QByteArray &target)
{
    return exchange(port, "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + proofHeader + "\r\n");
}

inline HttpReply post(quint16 port, const QByteArray &target, const QByteArray &contentType, const QByteArray &body,
                      const QByteArray &extraHeaders = QByteArray())
{
    return exchange(port,
                    "POST " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + proofHeader + "Content-Type: " + contentType
                            + "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n" + extraHeaders + "\r\n"
                            + body);
}

} // namespace testclient

#endif // HTTPCLIENT_H
