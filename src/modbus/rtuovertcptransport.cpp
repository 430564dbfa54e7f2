#include "rtuovertcptransport.h"

#include "modbusframe.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

qint64 nowUs()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

int msUntil(qint64 deadlineUs)
{
    const qint64 left = deadlineUs - nowUs();
    return left <= 0 ? 0 : static_cast<int>((left + 999) / 1000);
}

// Waits for the events until the deadline; false on time-out.
bool waitFor(int fd, short events, qint64 deadlineUs)
{
    for (;;) {
        pollfd p{fd, events, 0};
        const int rc = ::poll(&p, 1, msUntil(deadlineUs));
        if (rc > 0)
            return true;
        if (rc == 0 || errno != EINTR)
            return false;
    }
}

int connectOne(const addrinfo *a, qint64 deadlineUs)
{
    const int s = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
    if (s < 0)
        return -1;
    if (::connect(s, a->ai_addr, a->ai_addrlen) == 0)
        return s;
    if (errno == EINPROGRESS && waitFor(s, POLLOUT, deadlineUs)) {
        int error = 0;
        socklen_t len = sizeof error;
        if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &len) == 0 && error == 0)
            return s;
    }
    ::close(s);
    return -1;
}

// A corrupt function code gives no length: what follows is read until the
// line is this long silent, then judged as a whole.
const int trailingSilenceMs = 20;

} // namespace

RtuOverTcpTransport::~RtuOverTcpTransport()
{
    close();
}

bool RtuOverTcpTransport::connectTo(const QString &toHost, quint16 toPort, int timeoutMs)
{
    host = toHost;
    port = toPort;
    connectTimeoutMs = qMax(0, timeoutMs);
    return reconnect();
}

bool RtuOverTcpTransport::reconnect()
{
    close();
    if (host.isEmpty() || port == 0)
        return false;
    addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    if (::getaddrinfo(host.toLatin1().constData(), QByteArray::number(port).constData(), &hints, &found) != 0)
        return false;
    const qint64 deadline = nowUs() + static_cast<qint64>(connectTimeoutMs) * 1000;
    for (const addrinfo *a = found; a && fd < 0; a = a->ai_next)
        fd = connectOne(a, deadline);
    ::freeaddrinfo(found);
    if (fd < 0)
        return false;
    // Frames are small and each waits for its reply.
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return true;
}

void RtuOverTcpTransport::close()
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

void RtuOverTcpTransport::setReplyTimeout(int milliseconds)
{
    replyTimeoutMs = qMax(1, milliseconds);
}

bool RtuOverTcpTransport::flushStale()
{
    char scrap[512];
    for (;;) {
        const ssize_t n = ::recv(fd, scrap, sizeof scrap, MSG_DONTWAIT);
        if (n > 0)
            continue;
        if (n < 0 && errno == EINTR)
            continue;
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
}

bool RtuOverTcpTransport::sendAll(const QByteArray &bytes, qint64 deadlineUs)
{
    int sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.constData() + sent, static_cast<size_t>(bytes.size() - sent),
                                 MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && waitFor(fd, POLLOUT, deadlineUs))
            continue;
        return false;
    }
    return true;
}

RtuOverTcpTransport::Reply RtuOverTcpTransport::transact(const QByteArray &request)
{
    Reply reply;
    if (request.size() < 2)
        return reply;
    if (fd < 0 || !flushStale()) {
        // Nothing of this request is on the way yet, so a dropped stream may be opened again.
        if (!reconnect())
            return reply;
    }
    const quint8 unit = static_cast<quint8>(request.at(0));
    const quint8 functionCode = static_cast<quint8>(request.at(1));
    const qint64 sendDeadline = nowUs() + static_cast<qint64>(replyTimeoutMs) * 1000;
    if (!sendAll(request, sendDeadline)) {
        close();
        reply.status = Status::ConnectionLost;
        return reply;
    }
    if (unit == 0) {
        reply.status = Status::Ok;
        return reply;
    }
    return receive(unit, functionCode, nowUs() + static_cast<qint64>(replyTimeoutMs) * 1000);
}

RtuOverTcpTransport::Reply RtuOverTcpTransport::receive(quint8 unit, quint8 functionCode, qint64 deadlineUs)
{
    Reply reply;
    const qint64 sentAt = nowUs();
    uchar buffer[rtuMaxAduLength];
    int have = 0;
    bool shapeless = false;
    for (;;) {
        int need = shapeless ? rtuMaxAduLength : rtuConfirmationLength(buffer, have);
        if (need < 0 || need > rtuMaxAduLength) {
            shapeless = true;
            need = rtuMaxAduLength;
        }
        if (have >= need)
            break;
        qint64 waitUntil = deadlineUs;
        if (shapeless)
            waitUntil = qMin(deadlineUs, nowUs() + trailingSilenceMs * 1000);
        if (!waitFor(fd, POLLIN, waitUntil)) {
            if (shapeless)
                break;
            reply.received = QByteArray(reinterpret_cast<const char *>(buffer), have);
            reply.rttUs = nowUs() - sentAt;
            reply.status = Status::Timeout;
            return reply;
        }
        const ssize_t n = ::recv(fd, buffer + have, static_cast<size_t>(need - have), 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
            continue;
        if (n <= 0) {
            close();
            reply.received = QByteArray(reinterpret_cast<const char *>(buffer), have);
            reply.rttUs = nowUs() - sentAt;
            reply.status = Status::ConnectionLost;
            return reply;
        }
        have += static_cast<int>(n);
    }
    reply.rttUs = nowUs() - sentAt;
    reply.received = QByteArray(reinterpret_cast<const char *>(buffer), have);
    switch (checkRtuConfirmation(reply.received, unit, functionCode)) {
    case RtuCheck::Ok: reply.status = shapeless ? Status::BadReply : Status::Ok; break;
    case RtuCheck::Exception:
        reply.status = Status::Exception;
        reply.exceptionCode = static_cast<quint8>(buffer[2]);
        break;
    case RtuCheck::BadCrc: reply.status = Status::CrcError; break;
    case RtuCheck::Malformed:
    case RtuCheck::OtherUnit:
    case RtuCheck::OtherFunction: reply.status = Status::BadReply; break;
    }
    if (reply.status == Status::Ok || reply.status == Status::Exception)
        reply.adu = reply.received;
    return reply;
}
