#ifndef HTTPRESPONSE_H
#define HTTPRESPONSE_H

#include <QByteArray>
#include <QMap>
#include "httpcookie.h"

class QTcpSocket;

// Writes one response onto a connection. The first write sends the status
// line and headers; the response chooses Content-Length, chunked transfer or
// connection close to mark the end of the body. Every response starts with
// X-Content-Type-Options "nosniff" and X-Frame-Options "DENY".
class HttpResponse
{
    Q_DISABLE_COPY(HttpResponse)
public:
    // writeTimeout bounds every blocking send (ms): a client that stops
    // reading cannot hold the handler thread for ever.
    explicit HttpResponse(QTcpSocket *socket, int writeTimeout = 10000);

    void setHeader(const QByteArray &name, const QByteArray &value);
    void setHeader(const QByteArray &name, int value);
    QMap<QByteArray, QByteArray> &getHeaders();
    QMap<QByteArray, HttpCookie> &getCookies();

    void setStatus(int statusCode, const QByteArray &description = QByteArray());
    int getStatusCode() const;

    void setCookie(const HttpCookie &cookie);

    void write(const QByteArray &data, bool lastPart = false);
    bool hasSentLastPart() const;
    bool hasSentHeaders() const;
    // Whether the client is still there: a response kept open (a stream)
    // stops writing once it is gone.
    bool isConnected() const;

    // Status line, headers and cookies as they go on the wire.
    QByteArray headerBlock() const;

private:
    bool isChunked() const;
    void send(const QByteArray &bytes, bool flushNow);
    bool waitUntilWritten();

    QTcpSocket *socket;
    int writeTimeout;
    int statusCode = 200;
    QByteArray statusText = "OK";
    QMap<QByteArray, QByteArray> headers;
    QMap<QByteArray, HttpCookie> cookies;
    bool sentHeaders = false;
    bool sentLastPart = false;
};

#endif // HTTPRESPONSE_H
