#ifndef ROUTERCLIENT_H
#define ROUTERCLIENT_H

// A minimal HTTP/1.1 client for the tests. It runs on a thread of its own
// while the calling thread keeps its event loop turning, so it also works
// against a server that lives in the test process.

#include <QByteArray>
#include <QCoreApplication>
#include <QEventLoop>
#include <QMap>
#include <QTcpSocket>
#include <QThread>

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

namespace testclient {

const int waitLimit = 15000; // a guard against hangs, not a measured time

inline bool readLine(QTcpSocket &socket, QByteArray &buffer, QByteArray &line)
{
    for (;;) {
        const int end = buffer.indexOf("\r\n");
        if (end >= 0) {
            line = buffer.left(end);
            buffer.remove(0, end + 2);
            return true;
        }
        if (!socket.waitForReadyRead(waitLimit))
            return false;
        buffer += socket.readAll();
    }
}

inline bool readBytes(QTcpSocket &socket, QByteArray &buffer, int count, QByteArray &out)
{
    while (buffer.size() < count) {
        if (!socket.waitForReadyRead(waitLimit))
            return false;
        buffer += socket.readAll();
    }
    out = buffer.left(count);
    buffer.remove(0, count);
    return true;
}

inline HttpReply exchangeBlocking(quint16 port, const QByteArray &request)
{
    HttpReply reply;
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), port);
    if (!socket.waitForConnected(waitLimit))
        return reply;
    socket.write(request);
    if (!socket.waitForBytesWritten(waitLimit))
        return reply;

    QByteArray buffer;
    QByteArray line;
    if (!readLine(socket, buffer, line))
        return reply;
    reply.statusLine = line;
    reply.status = line.split(' ').value(1).toInt();
    for (;;) {
        if (!readLine(socket, buffer, line))
            return reply;
        if (line.isEmpty())
            break;
        const int colon = line.indexOf(':');
        reply.headers.insert(line.left(colon), line.mid(colon + 1).trimmed());
    }
    if (reply.headers.contains("Content-Length")) {
        if (!readBytes(socket, buffer, reply.headers.value("Content-Length").toInt(), reply.body))
            return reply;
    } else if (reply.headers.value("Transfer-Encoding") == "chunked") {
        for (;;) {
            if (!readLine(socket, buffer, line))
                return reply;
            const int size = line.toInt(nullptr, 16);
            QByteArray chunk;
            if (!readBytes(socket, buffer, size + 2, chunk))
                return reply;
            if (size == 0)
                break;
            reply.body += chunk.left(size);
        }
    } else {
        while (socket.waitForReadyRead(waitLimit))
            buffer += socket.readAll();
        reply.body = buffer;
    }
    reply.complete = true;
    return reply;
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

inline HttpReply get(quint16 port, const QByteArray &target)
{
    return exchange(port, "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
}

inline HttpReply post(quint16 port, const QByteArray &target, const QByteArray &contentType,
                      const QByteArray &body, const QByteArray &extraHeaders = QByteArray())
{
    return exchange(port, "POST " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: "
                              + contentType + "\r\nContent-Length: " + QByteArray::number(body.size())
                              + "\r\n" + extraHeaders + "\r\n" + body);
}

} // namespace testclient

#endif // ROUTERCLIENT_H
