#include "httpresponse.h"

#include <QTcpSocket>

namespace {
// Bytes queued on the socket before a send waits for the peer: small bodies
// leave in one system call together with their headers, large files stream
// without piling up in memory.
constexpr qint64 maxQueuedBytes = 65536;
} // namespace

HttpResponse::HttpResponse(QTcpSocket *socket, int writeTimeout)
    : socket(socket), writeTimeout(writeTimeout > 0 ? writeTimeout : 10000)
{
    // No reply is to be read as another type than it says, nor shown inside
    // another site's page.
    headers.insert("X-Content-Type-Options", "nosniff");
    headers.insert("X-Frame-Options", "DENY");
}

void HttpResponse::setHeader(const QByteArray &name, const QByteArray &value)
{
    headers.insert(name, value);
}

void HttpResponse::setHeader(const QByteArray &name, int value)
{
    headers.insert(name, QByteArray::number(value));
}

QMap<QByteArray, QByteArray> &HttpResponse::getHeaders()
{
    return headers;
}

QMap<QByteArray, HttpCookie> &HttpResponse::getCookies()
{
    return cookies;
}

void HttpResponse::setStatus(int statusCode, const QByteArray &description)
{
    this->statusCode = statusCode;
    statusText = description;
}

int HttpResponse::getStatusCode() const
{
    return statusCode;
}

void HttpResponse::setCookie(const HttpCookie &cookie)
{
    if (!cookie.getName().isEmpty())
        cookies.insert(cookie.getName(), cookie);
}

bool HttpResponse::hasSentLastPart() const
{
    return sentLastPart;
}

bool HttpResponse::hasSentHeaders() const
{
    return sentHeaders;
}

bool HttpResponse::isConnected() const
{
    return socket && socket->state() == QAbstractSocket::ConnectedState;
}

QByteArray HttpResponse::headerBlock() const
{
    QByteArray buffer;
    buffer.reserve(256);
    buffer += "HTTP/1.1 ";
    buffer += QByteArray::number(statusCode);
    buffer += ' ';
    buffer += statusText;
    buffer += "\r\n";
    for (auto it = headers.cbegin(); it != headers.cend(); ++it) {
        buffer += it.key();
        buffer += ": ";
        buffer += it.value();
        buffer += "\r\n";
    }
    for (auto it = cookies.cbegin(); it != cookies.cend(); ++it) {
        buffer += "Set-Cookie: ";
        buffer += it.value().toHeaderValue();
        buffer += "\r\n";
    }
    buffer += "\r\n";
    return buffer;
}

bool HttpResponse::isChunked() const
{
    const QByteArray encoding = headers.value("Transfer-Encoding");
    return encoding == "chunked" || encoding == "Chunked";
}

void HttpResponse::write(const QByteArray &data, bool lastPart)
{
    QByteArray out;
    if (!sentHeaders) {
        if (!headers.contains("Content-Length") && !headers.contains("Transfer-Encoding")) {
            const QByteArray connection = headers.value("Connection");
            if (connection != "close" && connection != "Close") {
                if (lastPart)
                    headers.insert("Content-Length", QByteArray::number(data.size()));
                else
                    headers.insert("Transfer-Encoding", "chunked");
            }
        }
        out = headerBlock();
        sentHeaders = true;
    }

    const bool chunked = isChunked();
    if (chunked) {
        out.reserve(out.size() + data.size() + 32);
        if (!data.isEmpty()) {
            out += QByteArray::number(data.size(), 16);
            out += "\r\n";
            out += data;
            out += "\r\n";
        }
        if (lastPart)
            out += "0\r\n\r\n";
    } else if (out.isEmpty()) {
        out = data;
    } else {
        out += data;
    }

    send(out, lastPart);

    if (lastPart) {
        // Without a length or chunking only the closing connection ends the body.
        if (!chunked && !headers.contains("Content-Length") && socket)
            socket->disconnectFromHost();
        sentLastPart = true;
    }
}

bool HttpResponse::waitUntilWritten()
{
    while (socket->bytesToWrite() > 0) {
        if (!socket->waitForBytesWritten(writeTimeout)) {
            if (socket->state() == QAbstractSocket::ConnectedState) {
                qWarning("HttpResponse: peer takes no data for %i ms, dropping the connection", writeTimeout);
                socket->abort();
            }
            return false;
        }
    }
    return true;
}

void HttpResponse::send(const QByteArray &bytes, bool flushNow)
{
    if (!socket || socket->state() != QAbstractSocket::ConnectedState || bytes.isEmpty())
        return;
    if (socket->bytesToWrite() >= maxQueuedBytes && !waitUntilWritten())
        return;
    if (socket->write(bytes) < 0)
        return;
    if (flushNow || socket->bytesToWrite() >= maxQueuedBytes)
        socket->flush();
}
