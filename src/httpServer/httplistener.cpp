#include "httplistener.h"
#include "httpconnectionhandlerpool.h"
#include "httpsettings.h"

#include <QHostAddress>
#include <QTcpSocket>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace {
const char rejectReply[] = "HTTP/1.1 503 too many connections\r\nConnection: close\r\n\r\nToo many connections\r\n";
}

HttpListener::HttpListener(QSettings *settings, HttpRequestHandler *requestHandler, QObject *parent)
    : QTcpServer(parent), settings(settings), requestHandler(requestHandler)
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
    const QString host = httpSetting(settings, QStringLiteral("host"), QString()).toString();
    const int port = httpSettingInt(settings, QStringLiteral("port"), 0);
    const QHostAddress address = host.isEmpty() ? QHostAddress(QHostAddress::Any) : QHostAddress(host);
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
    qDebug("HttpListener: Too many incoming connections, rejecting new connection.");
    auto *socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(socketDescriptor)) {
        delete socket;
#ifdef Q_OS_UNIX
        ::close(int(socketDescriptor));
#endif
        return;
    }
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    socket->write(rejectReply, sizeof(rejectReply) - 1);
    socket->disconnectFromHost();
}
