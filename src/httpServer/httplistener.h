#ifndef HTTPLISTENER_H
#define HTTPLISTENER_H

#include <QTcpServer>
#include "config.h"
#include "httpconnectionhandler.h"

class HttpRequestHandler;
class HttpConnectionHandlerPool;

// Accepts connections and hands each one to an idle handler thread of the pool.
class HttpListener : public QTcpServer
{
    Q_OBJECT
    Q_DISABLE_COPY(HttpListener)
public:
    // Binds and listens at once; isListening() tells the outcome.
    HttpListener(const ListenerSettings &settings, HttpRequestHandler *requestHandler, QObject *parent = nullptr);
    ~HttpListener() override;

    void listen();
    void close();

    // The pool while listening (or after a failed bind), else nullptr.
    HttpConnectionHandlerPool *connectionPool() const;

protected:
    void incomingConnection(qintptr socketDescriptor) override;

signals:
    void handleConnection(tSocketDescriptor socketDescriptor);

private:
    void reject(qintptr socketDescriptor);

    const ListenerSettings settings;
    HttpRequestHandler *requestHandler;
    HttpConnectionHandlerPool *pool = nullptr;
    // Parent of the rejected connections still draining their requests.
    QObject *rejectedConnections;
};

#endif // HTTPLISTENER_H
