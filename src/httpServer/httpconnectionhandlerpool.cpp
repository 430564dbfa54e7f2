#include "httpconnectionhandlerpool.h"
#include "httpconnectionhandler.h"

#include <QFile>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>

HttpConnectionHandlerPool::HttpConnectionHandlerPool(const ListenerSettings &settings,
                                                     HttpRequestHandler *requestHandler, QObject *parent)
    : QObject(parent), settings(settings), requestHandler(requestHandler)
{
    loadSslConfig();
    cleanupTimer.setParent(this);
    connect(&cleanupTimer, &QTimer::timeout, this, &HttpConnectionHandlerPool::cleanup);
    cleanupTimer.start(settings.cleanupInterval);
}

HttpConnectionHandlerPool::~HttpConnectionHandlerPool()
{
    cleanupTimer.stop();
    // Each handler ends its thread and waits for it.
    for (HttpConnectionHandler *handler : qAsConst(handlers))
        delete handler;
    handlers.clear();
    sslConfiguration.reset();
    qDebug("HttpConnectionHandlerPool (%p): destroyed", static_cast<void *>(this));
}

void HttpConnectionHandlerPool::removeEndedHandlers()
{
    // A thread ends on its own only after an exception broke its event loop;
    // such a handler stays busy and is replaced instead of being waited for.
    for (int i = handlers.count() - 1; i >= 0; --i) {
        HttpConnectionHandler *handler = handlers.at(i);
        if (handler->isFinished()) {
            qWarning("HttpConnectionHandlerPool (%p): replacing ended handler %p", static_cast<void *>(this),
                     static_cast<void *>(handler));
            handlers.removeAt(i);
            delete handler;
        }
    }
}

HttpConnectionHandler *HttpConnectionHandlerPool::acquireHandler()
{
    std::lock_guard<std::mutex> locker(mutex);
    removeEndedHandlers();
    for (HttpConnectionHandler *handler : qAsConst(handlers)) {
        if (!handler->isBusy()) {
            handler->markBusy();
            return handler;
        }
    }
    if (handlers.count() < settings.maxThreads) {
        auto *handler = new HttpConnectionHandler(settings, requestHandler, sslConfiguration.get());
        handler->markBusy();
        handlers.append(handler);
        return handler;
    }
    return nullptr;
}

void HttpConnectionHandlerPool::cleanup()
{
    const int minThreads = settings.minThreads;
    std::lock_guard<std::mutex> locker(mutex);
    removeEndedHandlers();
    int idleCount = 0;
    for (int i = 0; i < handlers.count(); ++i) {
        HttpConnectionHandler *handler = handlers.at(i);
        if (handler->isBusy())
            continue;
        if (++idleCount > minThreads) {
            handlers.removeAt(i);
            delete handler;
            break;
        }
    }
}

int HttpConnectionHandlerPool::handlerCount() const
{
    std::lock_guard<std::mutex> locker(mutex);
    return handlers.count();
}

int HttpConnectionHandlerPool::idleHandlerCount() const
{
    std::lock_guard<std::mutex> locker(mutex);
    int count = 0;
    for (const HttpConnectionHandler *handler : handlers)
        count += handler->isBusy() ? 0 : 1;
    return count;
}

bool HttpConnectionHandlerPool::isSslEnabled() const
{
    return sslConfiguration != nullptr;
}

void HttpConnectionHandlerPool::loadSslConfig()
{
    const QString &keyFileName = settings.sslKeyFile;
    const QString &certFileName = settings.sslCertFile;
    if (keyFileName.isEmpty() || certFileName.isEmpty())
        return;

    QFile certFile(certFileName);
    if (!certFile.open(QIODevice::ReadOnly)) {
        qCritical("HttpConnectionHandlerPool: cannot open sslCertFile %s", qPrintable(certFileName));
        return;
    }
    const QSslCertificate certificate(&certFile, QSsl::Pem);
    certFile.close();

    QFile keyFile(keyFileName);
    if (!keyFile.open(QIODevice::ReadOnly)) {
        qCritical("HttpConnectionHandlerPool: cannot open sslKeyFile %s", qPrintable(keyFileName));
        return;
    }
    const QSslKey key(&keyFile, QSsl::Rsa, QSsl::Pem, QSsl::PrivateKey, QByteArray());
    keyFile.close();

    sslConfiguration = std::make_unique<QSslConfiguration>();
    sslConfiguration->setLocalCertificate(certificate);
    sslConfiguration->setPrivateKey(key);
    sslConfiguration->setPeerVerifyMode(QSslSocket::VerifyNone);
    // SSL 3 is broken; this still takes TLS 1.0 clients and offers current versions.
    sslConfiguration->setProtocol(QSsl::TlsV1_0OrLater);
    qDebug("HttpConnectionHandlerPool: SSL settings loaded");
}
