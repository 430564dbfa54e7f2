#include "httplistener.h"
#include "httpconnectionhandlerpool.h"

#include <QHostAddress>
#include <QTcpSocket>
#include <QTimer>

#include <memory>

#ifdef Q_OS_WIN
#include <winsock2.h>
#else
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {
const char rejectReply[] = "HTTP/1.1 503 too many connections\r\nConnection: close\r\n\r\nToo many connections\r\n";
// A rejected connection is closed only after its client's request has been
// read (or once these limits are hit): closing with input still unread makes
// the kernel send a reset, which can destroy the reply before the client
// reads it.
constexpr int rejectLingerMs = 1000;
constexpr qint64 rejectDrainLimit = 64 * 1024;
// Beyond this many draining at once, a flood of connections would cost
// descriptors; further ones are closed at once.
constexpr int maxRejectedConnections = 64;

bool shutdownWrite(qintptr descriptor)
{
#ifdef Q_OS_WIN
    return ::shutdown(SOCKET(descriptor), SD_SEND) == 0;
#else
    return ::shutdown(int(descriptor), SHUT_WR) == 0;
#endif
}
} // namespace

HttpListener::HttpListener(const ListenerSettings &settings, HttpRequestHandler *requestHandler, QObject *parent)
    : QTcpServer(parent), settings(settings), requestHandler(requestHandler), rejectedConnections(new QObject(this))
{
    qRegisterMetaType<tSocketDescriptor>("tSocketDescriptor");
    listen();
}

HttpListener::~HttpListener()
{
    close();
    qDebug("HttpListener: destroyed");
}

HttpConnectionHandlerPool *HttpListener::connectionPool() const
{
    return pool;
}

void HttpListener::listen()
{
    if (!pool)
        pool = new HttpConnectionHandlerPool(settings, requestHandler, this);
    const int port = settings.port;
    const QHostAddress address =
            settings.host.isEmpty() ? QHostAddress(QHostAddress::Any) : QHostAddress(settings.host);
    if (QTcpServer::listen(address, quint16(port)))
        qDebug("HttpListener: Listening on port %i", port);
    else
        qCritical("HttpListener: Cannot bind on port %i: %s", port, qPrintable(errorString()));
}

void HttpListener::close()
{
    QTcpServer::close();
    qDebug("HttpListener: closed");
    delete pool;
    pool = nullptr;
}

void HttpListener::incomingConnection(qintptr socketDescriptor)
{
    HttpConnectionHandler *handler = pool ? pool->acquireHandler() : nullptr;
    if (handler) {
        // The handler lives in its own thread, so the call is queued there.
        connect(this, &HttpListener::handleConnection, handler, &HttpConnectionHandler::handleConnection);
        emit handleConnection(socketDescriptor);
        disconnect(this, &HttpListener::handleConnection, handler, &HttpConnectionHandler::handleConnection);
        return;
    }
    reject(socketDescriptor);
}

void HttpListener::reject(qintptr socketDescriptor)
{
    qDebug("HttpListener: Too many incoming connections, rejecting new connection.");
    auto *socket = new QTcpSocket(rejectedConnections);
    socket->setReadBufferSize(16 * 1024);
    if (!socket->setSocketDescriptor(socketDescriptor)) {
        delete socket;
#ifdef Q_OS_UNIX
        ::close(int(socketDescriptor));
#endif
        return;
    }
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    // Whatever the client does, the descriptor is given back in bounded time.
    QTimer::singleShot(rejectLingerMs, socket, [socket] {
        socket->abort();
        socket->deleteLater();
    });
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    socket->write(rejectReply, sizeof(rejectReply) - 1);
    socket->flush();
    if (rejectedConnections->children().size() > maxRejectedConnections || socket->bytesToWrite() > 0
        || !shutdownWrite(socket->socketDescriptor())) {
        socket->disconnectFromHost();
        return;
    }
    // The reply and its end are on their way; what the client sends is read
    // and dropped until it closes its side.
    auto drained = std::make_shared<qint64>(0);
    connect(socket, &QIODevice::readyRead, socket, [socket, drained] {
        const qint64 skipped = socket->skip(socket->bytesAvailable());
        if (skipped < 0 || (*drained += skipped) > rejectDrainLimit) {
            socket->abort();
            socket->deleteLater();
        }
    });
}
