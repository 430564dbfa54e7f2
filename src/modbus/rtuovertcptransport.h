#ifndef RTUOVERTCPTRANSPORT_H
#define RTUOVERTCPTRANSPORT_H

#include <QByteArray>
#include <QString>

// RTU frames (unit, PDU, CRC) over a TCP stream, as serial device servers
// carry them. Blocking, on the calling thread; the caller runs one
// transaction at a time. The stream has no frame boundaries, so a reply is
// cut by its function code and byte count.
class RtuOverTcpTransport
{
public:
    enum class Status {
        Ok,
        Exception, // a well-formed exception reply; exceptionCode says which
        Timeout, // no whole reply within the reply time-out
        CrcError,
        BadReply, // another unit or function, or a shape no reply has
        ConnectionLost, // the peer closed or reset the stream
        NotConnected,
    };
    struct Reply
    {
        Status status = Status::NotConnected;
        QByteArray adu; // the reply frame with Ok and Exception
        QByteArray received; // every byte read for this request, a partial or corrupt frame included
        quint8 exceptionCode = 0;
        qint64 rttUs = 0; // from the request's last byte sent to the reply's last byte
    };

    RtuOverTcpTransport() = default;
    ~RtuOverTcpTransport();
    RtuOverTcpTransport(const RtuOverTcpTransport &) = delete;
    RtuOverTcpTransport &operator=(const RtuOverTcpTransport &) = delete;

    // Opens the stream, waiting at most timeoutMs for the connection.
    bool connectTo(const QString &host, quint16 port, int timeoutMs);
    // Opens the stream again to the last host and port.
    bool reconnect();
    void close();
    bool isOpen() const { return fd >= 0; }

    void setReplyTimeout(int milliseconds);
    int replyTimeout() const { return replyTimeoutMs; }

    // Sends one request frame and reads its confirmation. Bytes left over
    // from an earlier, late reply are dropped first; a stream the peer has
    // closed by then is opened again once. A broadcast (unit 0) waits for
    // nothing and is Ok without a reply.
    Reply transact(const QByteArray &request);

private:
    // Drops what arrived unasked; false when the peer has closed the stream.
    bool flushStale();
    bool sendAll(const QByteArray &bytes, qint64 deadlineMs);
    // Reads until a whole frame, the deadline or the stream's end.
    Reply receive(quint8 unit, quint8 functionCode, qint64 deadlineMs);

    int fd = -1;
    QString host;
    quint16 port = 0;
    int connectTimeoutMs = 0;
    int replyTimeoutMs = 1000;
};

#endif // RTUOVERTCPTRANSPORT_H
