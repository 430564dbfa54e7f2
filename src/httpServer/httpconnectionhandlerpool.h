#ifndef HTTPCONNECTIONHANDLERPOOL_H
#define HTTPCONNECTIONHANDLERPOOL_H

#include <QList>
#include <QObject>
#include <QTimer>

#include <memory>
#include <mutex>

#include "config.h"

class QSslConfiguration;
class HttpConnectionHandler;
class HttpRequestHandler;

// Owns the handler threads: creates them on demand up to maxThreads and
// shrinks the idle surplus down to minThreads, one per cleanup tick.
class HttpConnectionHandlerPool : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(HttpConnectionHandlerPool)
public:
    HttpConnectionHandlerPool(const ListenerSettings &settings, HttpRequestHandler *requestHandler,
                              QObject *parent = nullptr);
    ~HttpConnectionHandlerPool() override;

    // An idle handler, already marked busy, or nullptr when all maxThreads are busy.
    HttpConnectionHandler *acquireHandler();

    int handlerCount() const;
    int idleHandlerCount() const;
    bool isSslEnabled() const;

public slots:
    void cleanup();

private:
    void loadSslConfig();
    void removeEndedHandlers(); // with the mutex held

    const ListenerSettings settings;
    HttpRequestHandler *requestHandler;
    QList<HttpConnectionHandler *> handlers; // owned, in creation order
    QTimer cleanupTimer;
    mutable std::mutex mutex;
    std::unique_ptr<QSslConfiguration> sslConfiguration;
};

#endif // HTTPCONNECTIONHANDLERPOOL_H
