#ifndef HTTPCONNECTIONHANDLER_H
#define HTTPCONNECTIONHANDLER_H

#include <QElapsedTimer>
#include <QThread>
#include <QtGlobal>

#include <atomic>
#include <memory>

class QSettings;
class QSslConfiguration;
class QTcpSocket;
class QTimer;
class HttpRequest;
class HttpRequestHandler;

// The native socket handle that travels from the listener to a handler thread.
typedef qintptr tSocketDescriptor;

// A worker thread that serves one connection at a time, any number of
// requests on it, and becomes idle again when the connection closes.
class HttpConnectionHandler : public QThread
{
    Q_OBJECT
    Q_DISABLE_COPY(HttpConnectionHandler)
public:
    // sslConfiguration (not owned) switches TLS on when not null.
    HttpConnectionHandler(QSettings *settings, HttpRequestHandler *requestHandler,
                          const QSslConfiguration *sslConfiguration = nullptr);
    ~HttpConnectionHandler() override;

    bool isBusy() const;
    void markBusy();

    // Time a request may take from its first byte to its last (ms): the base
    // plus 1 s per 64 KiB received so far, so that a large upload at a
    // modest rate still fits while a trickle cannot hold the thread for ever.
    static int requestDeadline(qint64 baseMs, qint64 receivedBytes);

public slots:
    void handleConnection(tSocketDescriptor socketDescriptor);

private slots:
    void read();
    void disconnected();
    void readTimeout();
    void requestTimeout();

protected:
    void run() override;

private:
    void createSocket();
    void closeGracefully();
    void serveAvailable();
    bool readRequest();
    void refuseRequest();
    void refuse(int status, const QByteArray &reason, const QByteArray &body);
    void closeAfterRefusal();
    void drain();
    void freeIfClosed();
    void dropConnection(const char *what);
    void startRequestDeadline();
    void extendRequestDeadline();
    int readTimeoutMs() const;

    QSettings *settings;
    HttpRequestHandler *requestHandler;
    const QSslConfiguration *sslConfiguration;
    // Set by the pool on the listener's thread, cleared here on the handler's thread.
    std::atomic<bool> busy{false};
    // Stored last by run(): the destructor's acquire of it orders the
    // thread's final writes before the teardown in a way ThreadSanitizer
    // sees, which QThread::wait() alone does not provide.
    std::atomic<bool> runEnded{false};
    // Everything below lives on and is touched only by the handler's thread.
    std::unique_ptr<QTcpSocket> socket;
    std::unique_ptr<QTimer> readTimer;
    std::unique_ptr<QTimer> requestTimer;
    QElapsedTimer requestClock;
    int requestBaseMs = 0;
    qint64 requestBytes = 0;
    // A refused connection: the reply and its end are sent, and what the
    // client still sends is dropped until it closes or a bound is hit.
    bool draining = false;
    qint64 drainedBytes = 0;
    std::unique_ptr<HttpRequest> currentRequest;
    bool reading = false;
};

#endif // HTTPCONNECTIONHANDLER_H
