#include "httpconnectionhandler.h"
#include "httprequest.h"
#include "httprequesthandler.h"
#include "httpresponse.h"
#include "httpsettings.h"

#include <QSslConfiguration>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTimer>

#include <exception>
#include <limits>

#ifdef Q_OS_WIN
#include <winsock2.h>
#else
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {
// Bytes a connection may hold unread: a client that sends faster than the
// handler parses is held back by TCP instead of filling memory.
constexpr qint64 readBufferSize = 256 * 1024;
const char abortedReply[] = "HTTP/1.1 413 entity too large\r\nConnection: close\r\n\r\n413 Entity too large\r\n";
// What a refused client may still send, and for how long, before the
// connection is cut.
constexpr int drainLingerMs = 1000;
constexpr qint64 drainLimit = 64 * 1024;

bool shutdownWrite(qintptr descriptor)
{
#ifdef Q_OS_WIN
    return ::shutdown(SOCKET(descriptor), SD_SEND) == 0;
#else
    return ::shutdown(int(descriptor), SHUT_WR) == 0;
#endif
}
} // namespace

HttpConnectionHandler::HttpConnectionHandler(QSettings *settings, HttpRequestHandler *requestHandler,
                                             const QSslConfiguration *sslConfiguration)
    : settings(settings), requestHandler(requestHandler), sslConfiguration(sslConfiguration)
{
    if (sslConfiguration)
        qDebug("HttpConnectionHandler (%p): SSL is enabled", static_cast<void *>(this));
    // Slots run on the handler's own thread; the socket and timer are made there in run().
    moveToThread(this);
    start();
}

HttpConnectionHandler::~HttpConnectionHandler()
{
    quit();
    wait();
    // Pairs with the release at the end of run(); the value itself is not needed.
    static_cast<void>(runEnded.load(std::memory_order_acquire));
}

bool HttpConnectionHandler::isBusy() const
{
    return busy.load();
}

void HttpConnectionHandler::markBusy()
{
    busy.store(true);
}

int HttpConnectionHandler::readTimeoutMs() const
{
    return httpSettingInt(settings, QStringLiteral("readTimeout"), 10000);
}

int HttpConnectionHandler::requestDeadline(qint64 baseMs, qint64 receivedBytes)
{
    const qint64 bytes = qMax<qint64>(0, receivedBytes);
    // Split so that no product overflows, whatever was announced.
    const qint64 extraMs = bytes / 65536 * 1000 + bytes % 65536 * 1000 / 65536;
    const qint64 base = qMax<qint64>(0, baseMs);
    if (extraMs >= std::numeric_limits<int>::max() - base)
        return std::numeric_limits<int>::max();
    return int(base + extraMs);
}

void HttpConnectionHandler::run()
{
    readTimer = std::make_unique<QTimer>();
    readTimer->setSingleShot(true);
    connect(readTimer.get(), &QTimer::timeout, this, &HttpConnectionHandler::readTimeout);
    requestTimer = std::make_unique<QTimer>();
    requestTimer->setSingleShot(true);
    connect(requestTimer.get(), &QTimer::timeout, this, &HttpConnectionHandler::requestTimeout);
    try {
        exec();
    } catch (...) {
        // Something else living on this thread threw through the event loop,
        // which cannot be trusted afterwards. The thread ends still marked
        // busy, so it is never handed out again; the pool replaces it.
        busy.store(true);
        qCritical("HttpConnectionHandler (%p): an uncatched exception occured in the thread",
                  static_cast<void *>(this));
    }
    if (socket) {
        socket->disconnect(this);
        socket->abort();
    }
    currentRequest.reset();
    socket.reset();
    requestTimer.reset();
    readTimer.reset();
    runEnded.store(true, std::memory_order_release);
}

void HttpConnectionHandler::createSocket()
{
    if (socket)
        socket->disconnect(this);
    if (sslConfiguration) {
        auto sslSocket = std::make_unique<QSslSocket>();
        sslSocket->setSslConfiguration(*sslConfiguration);
        socket = std::move(sslSocket);
    } else {
        socket = std::make_unique<QTcpSocket>();
    }
    socket->setReadBufferSize(readBufferSize);
    connect(socket.get(), &QTcpSocket::readyRead, this, &HttpConnectionHandler::read);
    connect(socket.get(), &QTcpSocket::disconnected, this, &HttpConnectionHandler::disconnected);
}

void HttpConnectionHandler::handleConnection(tSocketDescriptor socketDescriptor)
{
    busy.store(true);
    // A fresh socket per connection leaves nothing of the previous one behind.
    createSocket();
    if (!socket->setSocketDescriptor(socketDescriptor)) {
        qCritical("HttpConnectionHandler (%p): cannot initialize socket: %s", static_cast<void *>(this),
                  qPrintable(socket->errorString()));
#ifdef Q_OS_UNIX
        if (socketDescriptor >= 0)
            ::close(int(socketDescriptor));
#endif
        // No disconnect notification will follow, so the handler is free again now.
        busy.store(false);
        return;
    }
    // Without it Nagle meets delayed ACK and kept-alive replies stall.
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    if (sslConfiguration) {
        qDebug("HttpConnectionHandler (%p): Starting encryption", static_cast<void *>(this));
        static_cast<QSslSocket *>(socket.get())->startServerEncryption();
    }
    readTimer->start(readTimeoutMs());
    requestTimer->stop();
    currentRequest.reset();
    draining = false;
}

void HttpConnectionHandler::closeGracefully()
{
    socket->flush();
    socket->disconnectFromHost();
    // A peer that takes no more bytes would keep the connection closing for
    // ever; the read timer aborts it.
    if (socket->state() != QAbstractSocket::UnconnectedState)
        readTimer->start(readTimeoutMs());
}

void HttpConnectionHandler::startRequestDeadline()
{
    requestBaseMs = httpSettingInt(settings, QStringLiteral("requestTimeout"), 60000);
    if (requestBaseMs <= 0)
        requestBaseMs = 60000;
    requestBytes = 0;
    requestClock.start();
    requestTimer->start(requestBaseMs);
}

void HttpConnectionHandler::extendRequestDeadline()
{
    // Only bytes that came count: an announced size costs a client nothing.
    const qint64 left = requestDeadline(requestBaseMs, requestBytes) - requestClock.elapsed();
    requestTimer->start(int(qMax<qint64>(0, left)));
}

void HttpConnectionHandler::refuseRequest()
{
    requestTimer->stop();
    socket->write(abortedReply, sizeof(abortedReply) - 1);
    closeAfterRefusal();
}

void HttpConnectionHandler::refuse(int status, const QByteArray &reason, const QByteArray &body)
{
    requestTimer->stop();
    {
        HttpResponse response(socket.get(), readTimeoutMs());
        response.setStatus(status, reason);
        response.setHeader("Connection", "close");
        response.setHeader("Content-Length", body.size());
        response.write(body, true);
    }
    closeAfterRefusal();
}

void HttpConnectionHandler::closeAfterRefusal()
{
    currentRequest.reset();
    socket->flush();
    // Closing with the client's bytes unread makes the kernel reset the
    // connection, which can destroy the reply before the client reads it.
    // So only the sending side is shut, and what still comes is dropped.
    if (sslConfiguration || socket->bytesToWrite() > 0 || !shutdownWrite(socket->socketDescriptor())) {
        closeGracefully();
        return;
    }
    draining = true;
    drainedBytes = 0;
    readTimer->start(qMin(drainLingerMs, qMax(1, readTimeoutMs())));
    drain();
}

void HttpConnectionHandler::drain()
{
    const qint64 skipped = socket->skip(socket->bytesAvailable());
    drainedBytes += qMax<qint64>(0, skipped);
    if (skipped < 0 || drainedBytes > drainLimit)
        socket->abort();
}

void HttpConnectionHandler::freeIfClosed()
{
    if (socket->state() != QAbstractSocket::UnconnectedState)
        return;
    requestTimer->stop();
    currentRequest.reset();
    draining = false;
    busy.store(false);
}

void HttpConnectionHandler::dropConnection(const char *what)
{
    qCritical("HttpConnectionHandler (%p): %s, connection aborted", static_cast<void *>(this), what);
    requestTimer->stop();
    readTimer->stop();
    if (socket) {
        // What was sent already goes out; the missing end marks it as cut short.
        socket->flush();
        socket->abort();
    }
    currentRequest.reset();
}

void HttpConnectionHandler::read()
{
    // A request handler that spins a local event loop must not see this
    // connection's next request before its own is answered.
    if (reading || !socket)
        return;
    if (draining) {
        drain();
        // Unless the abort's disconnect notification has freed it already.
        if (draining)
            freeIfClosed();
        return;
    }
    reading = true;
    // Nothing may escape into the event loop: that would end the thread with
    // the handler still busy, and the pool would be one thread short for good.
    try {
        serveAvailable();
    } catch (const std::exception &exception) {
        const QByteArray what = QByteArray("exception while serving a request: ") + exception.what();
        dropConnection(what.constData());
    } catch (...) {
        dropConnection("unknown exception while serving a request");
    }
    reading = false;
    freeIfClosed();
}

bool HttpConnectionHandler::readRequest()
{
    while (socket->bytesAvailable() > 0 && currentRequest->status() != HttpRequest::Complete
           && currentRequest->status() != HttpRequest::Aborted) {
        const HttpRequest::ParseState before = currentRequest->status();
        const qint64 available = socket->bytesAvailable();
        currentRequest->readFromSocket(socket.get());
        requestBytes += available - socket->bytesAvailable();
        const HttpRequest::ParseState now = currentRequest->status();
        // The request handler decides before a byte of the body is read.
        if (before == HttpRequest::ExpectHeader && (now == HttpRequest::ExpectBody || now == HttpRequest::Complete)
            && !requestHandler->admit(*currentRequest)) {
            refuse(403, "forbidden", "403 forbidden");
            return false;
        }
        if (now == HttpRequest::ExpectBody)
            readTimer->start(readTimeoutMs());
    }
    if (currentRequest->status() == HttpRequest::Aborted) {
        if (currentRequest->isBadRequest())
            refuse(400, "bad request", "400 bad request");
        else
            refuseRequest();
        return false;
    }
    if (currentRequest->status() != HttpRequest::Complete)
        extendRequestDeadline();
    return true;
}

void HttpConnectionHandler::serveAvailable()
{
    while (socket->bytesAvailable() > 0 && socket->state() == QAbstractSocket::ConnectedState) {
        if (!currentRequest) {
            currentRequest = std::make_unique<HttpRequest>(settings);
            currentRequest->setEncrypted(sslConfiguration != nullptr);
            startRequestDeadline();
        }

        if (!readRequest())
            break;

        if (currentRequest->status() == HttpRequest::Complete) {
            readTimer->stop();
            requestTimer->stop();
            const int timeout = readTimeoutMs();
            {
                HttpResponse response(socket.get(), timeout);
                try {
                    requestHandler->service(*currentRequest, response);
                } catch (...) {
                    qCritical("HttpConnectionHandler (%p): An uncatched exception occured in the request handler",
                              static_cast<void *>(this));
                    // Finishing a body that is already on its way would pass
                    // a truncated reply off as complete.
                    if (response.hasSentHeaders() && !response.hasSentLastPart()) {
                        dropConnection("reply cut short by the exception");
                        break;
                    }
                }
                if (!response.hasSentLastPart())
                    response.write(QByteArray(), true);
            }
            const bool closeConnection =
                    currentRequest->header("Connection").compare("close", Qt::CaseInsensitive) == 0;
            currentRequest.reset();
            if (socket->state() != QAbstractSocket::ConnectedState)
                break;
            if (closeConnection) {
                closeGracefully();
                break;
            }
            readTimer->start(timeout);
        }
    }
}

void HttpConnectionHandler::readTimeout()
{
    if (!socket)
        return;
    if (draining) {
        socket->abort();
        if (draining)
            freeIfClosed();
        return;
    }
    if (socket->state() == QAbstractSocket::ClosingState)
        socket->abort();
    else if (socket->state() != QAbstractSocket::UnconnectedState)
        closeGracefully();
    if (!reading) {
        requestTimer->stop();
        currentRequest.reset();
    }
}

void HttpConnectionHandler::requestTimeout()
{
    // While read() is on the stack the request is being served, not awaited.
    if (!socket || reading || !currentRequest)
        return;
    qWarning("HttpConnectionHandler (%p): request not complete within its deadline", static_cast<void *>(this));
    if (socket->state() == QAbstractSocket::ConnectedState)
        refuseRequest();
    else
        currentRequest.reset();
}

void HttpConnectionHandler::disconnected()
{
    if (!socket)
        return;
    socket->close();
    readTimer->stop();
    requestTimer->stop();
    draining = false;
    // While read() is on the stack it still uses the request and the socket;
    // it cleans up and frees the handler itself.
    if (reading)
        return;
    currentRequest.reset();
    busy.store(false);
}
