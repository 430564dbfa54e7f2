#include "modbuslibrary.h"

#include "deviceidentification.h"
#include "modbusframe.h"
#include "rtuovertcptransport.h"

#include <QDateTime>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <modbus/modbus.h>
#include <poll.h>
#include <unistd.h>

// What a handle stands for: a libmodbus context, or our own stream of RTU
// frames over TCP.
struct ModbusLibrary::Link
{
    modbus_t *mb = nullptr;
    std::unique_ptr<RtuOverTcpTransport> stream;
    QString host; // the stream's peer
    int port = 0;
    int unit = -1; // the stream's unit; libmodbus keeps its own
};

namespace {

// The router gives up waiting for its Modbus lock after this long.
const int64_t maxReplyWaitSeconds = 10;

const uint8_t fcReadCoils = 0x01;
const uint8_t fcReadDiscreteInputs = 0x02;
const uint8_t fcReadHoldingRegisters = 0x03;
const uint8_t fcReadInputRegisters = 0x04;
const uint8_t fcWriteCoil = 0x05;
const uint8_t fcWriteRegister = 0x06;
const uint8_t fcWriteCoils = 0x0F;
const uint8_t fcWriteRegisters = 0x10;
const uint8_t fcReportSlaveId = 0x11;
const uint8_t fcMaskWriteRegister = 0x16;
const uint8_t fcDeviceIdentification = 0x2B;

qint64 nowUs()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

bool overTcp(modbus_t *mb)
{
    return ::modbus_get_header_length(mb) == 7;
}

// A serial context without a unit (a refused modbus_set_slave) would trip
// the library's own assertion on the next request.
bool hasUnit(modbus_t *mb)
{
    return ::modbus_get_slave(mb) >= 0;
}

int exceptionError(uint8_t code)
{
    if (code >= 1 && code <= MODBUS_EXCEPTION_GATEWAY_TARGET)
        return MODBUS_ENOBASE + code;
    return EMBBADEXC;
}

int word(const uint8_t *p)
{
    return (p[0] << 8) | p[1];
}

void putWord(uint8_t *p, int value)
{
    p[0] = static_cast<uint8_t>(value >> 8);
    p[1] = static_cast<uint8_t>(value & 0xFF);
}

uint16_t crc16(const uint8_t *data, int length)
{
    uint16_t crc = 0xFFFF;
    for (int i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : static_cast<uint16_t>(crc >> 1);
    }
    return crc;
}

// More bytes of a reply, straight from the link, within the reply time-out.
// False with errno set.
bool readMore(modbus_t *mb, uint8_t *adu, int *have, int need)
{
    const int fd = ::modbus_get_socket(mb);
    uint32_t sec = 0;
    uint32_t usec = 0;
    ::modbus_get_response_timeout(mb, &sec, &usec);
    const int waitMs = static_cast<int>(sec * 1000 + usec / 1000) + 1;
    while (*have < need) {
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, waitMs);
        if (ready == 0) {
            errno = ETIMEDOUT;
            return false;
        }
        if (ready < 0 && errno != EINTR)
            return false;
        if (ready < 0)
            continue;
        const ssize_t n = ::read(fd, adu + *have, static_cast<size_t>(need - *have));
        if (n == 0) {
            errno = ECONNRESET;
            return false;
        }
        if (n < 0 && errno != EINTR && errno != EAGAIN)
            return false;
        if (n > 0)
            *have += static_cast<int>(n);
    }
    return true;
}

// libmodbus sizes a confirmation by its function code and knows nothing of
// function 43: it stops after the MEI type (on RTU taking the next two bytes
// for the CRC). The rest is read here, by the MBAP length on TCP and by the
// objects' own lengths on RTU.
int completeDeviceIdReply(modbus_t *mb, uint8_t *adu, int rc)
{
    if (overTcp(mb)) {
        if (rc != 9 || adu[7] != fcDeviceIdentification)
            return rc;
        const int total = 6 + word(adu + 4);
        if (total < rc || total > MODBUS_TCP_MAX_ADU_LENGTH) {
            errno = EMBBADDATA;
            return -1;
        }
        return readMore(mb, adu, &rc, total) ? rc : -1;
    }
    // A CRC that happens to match the five bytes read leaves rc at 5.
    if ((rc >= 0 && rc != 5) || (rc < 0 && errno != EMBBADCRC) || adu[1] != fcDeviceIdentification)
        return rc;
    int have = 5;
    bool whole = readMore(mb, adu, &have, 8); // more follows, next object, object count
    for (int i = 0, count = whole ? adu[7] : 0; whole && i < count; ++i) {
        whole = have + 2 <= MODBUS_RTU_MAX_ADU_LENGTH - 2 && readMore(mb, adu, &have, have + 2);
        const int length = whole ? adu[have - 1] : 0;
        whole = whole && have + length <= MODBUS_RTU_MAX_ADU_LENGTH - 2 && readMore(mb, adu, &have, have + length);
    }
    if (!whole || !readMore(mb, adu, &have, have + 2)) {
        const int errnum = whole ? errno : EMBBADDATA;
        ::modbus_flush(mb);
        errno = errnum;
        return -1;
    }
    if (crc16(adu, have - 2) != ((adu[have - 1] << 8) | adu[have - 2])) {
        errno = EMBBADCRC;
        return -1;
    }
    return have;
}

} // namespace

namespace {

ModbusLibrary::Link *linkOf(ModbusHandle ctx)
{
    return static_cast<ModbusLibrary::Link *>(ctx);
}

modbus_t *context(ModbusHandle ctx)
{
    return ctx ? linkOf(ctx)->mb : nullptr;
}

// Bytes after the PDU: the CRC on RTU, nothing on TCP.
int checksumLength(ModbusHandle ctx)
{
    const modbus_t *mb = context(ctx);
    return mb && ::modbus_get_header_length(const_cast<modbus_t *>(mb)) == 7 ? 0 : 2;
}

} // namespace

ModbusLibrary::ModbusLibrary(const QStringList &extraPorts) : m_extraPorts(extraPorts)
{}

void ModbusLibrary::setExtraPorts(const QStringList &extraPorts)
{
    m_extraPorts = extraPorts;
}

QList<QextPortInfo> ModbusLibrary::getPorts()
{
    return QextSerialEnumerator::getPorts(m_extraPorts);
}

int ModbusLibrary::fail(int errnum)
{
    m_lastError = errnum;
    errno = errnum;
    return -1;
}

int ModbusLibrary::keepError(int rc)
{
    if (rc < 0)
        m_lastError = errno;
    return rc;
}

ModbusHandle ModbusLibrary::modbus_new_rtu(const char *device, int baud, char parity, int dataBits, int stopBits)
{
    modbus_t *mb = ::modbus_new_rtu(device, baud, parity, dataBits, stopBits);
    if (!mb) {
        m_lastError = errno;
        return nullptr;
    }
    Link *link = new Link;
    link->mb = mb;
    return link;
}

ModbusHandle ModbusLibrary::modbus_new_tcp(const char *host, int port)
{
    modbus_t *mb = ::modbus_new_tcp(host, port);
    if (!mb) {
        m_lastError = errno;
        return nullptr;
    }
    Link *link = new Link;
    link->mb = mb;
    return link;
}

ModbusHandle ModbusLibrary::modbus_new_rtu_tcp(const char *host, int port)
{
    if (!host || !*host || port < 1 || port > 0xFFFF) {
        fail(EINVAL);
        return nullptr;
    }
    Link *link = new Link;
    link->stream = std::make_unique<RtuOverTcpTransport>();
    link->host = QString::fromLatin1(host);
    link->port = port;
    return link;
}

int ModbusLibrary::modbus_connect(ModbusHandle ctx)
{
    if (!ctx)
        return fail(EINVAL);
    Link *link = linkOf(ctx);
    if (link->stream) {
        return link->stream->connectTo(link->host, static_cast<quint16>(link->port), link->stream->replyTimeout())
                ? 0
                : fail(ECONNREFUSED);
    }
    return keepError(::modbus_connect(link->mb));
}

void ModbusLibrary::modbus_close(ModbusHandle ctx)
{
    if (!ctx)
        return;
    Link *link = linkOf(ctx);
    if (link->stream)
        link->stream->close();
    else
        ::modbus_close(link->mb);
}

void ModbusLibrary::modbus_free(ModbusHandle ctx)
{
    if (!ctx)
        return;
    Link *link = linkOf(ctx);
    if (link->mb)
        ::modbus_free(link->mb);
    delete link;
}

void ModbusLibrary::modbus_flush(ModbusHandle ctx)
{
    // The stream drops stale bytes before each request by itself.
    if (context(ctx))
        ::modbus_flush(context(ctx));
}

int ModbusLibrary::modbus_set_slave(ModbusHandle ctx, int slave)
{
    if (!ctx)
        return fail(EINVAL);
    Link *link = linkOf(ctx);
    if (!link->stream)
        return keepError(::modbus_set_slave(link->mb, slave));
    // As libmodbus on a serial line: a broadcast or a unit of 1 to 247.
    if (slave < 0 || slave > 247)
        return fail(EINVAL);
    link->unit = slave;
    return 0;
}

void ModbusLibrary::modbus_get_timeout_begin(ModbusHandle ctx, ModbusTimeValue *timeout)
{
    uint32_t sec = 0;
    uint32_t usec = 0;
    if (ctx && linkOf(ctx)->stream) {
        const int ms = linkOf(ctx)->stream->replyTimeout();
        sec = static_cast<uint32_t>(ms / 1000);
        usec = static_cast<uint32_t>(ms % 1000 * 1000);
    } else if (ctx) {
        ::modbus_get_response_timeout(context(ctx), &sec, &usec);
    }
    timeout->tv_sec = static_cast<int32_t>(sec);
    timeout->tv_usec = static_cast<int32_t>(usec);
}

void ModbusLibrary::modbus_set_timeout_begin(ModbusHandle ctx, const ModbusTimeValue *timeout)
{
    if (!ctx)
        return;
    // libmodbus refuses a microsecond field of a second or more; carry it over.
    int64_t sec = timeout->tv_sec < 0 ? 0 : timeout->tv_sec;
    int64_t usec = timeout->tv_usec < 0 ? 0 : timeout->tv_usec;
    sec += usec / 1000000;
    usec %= 1000000;
    if (sec == 0 && usec == 0)
        return; // zero would mean "no time-out" to nobody: keep the current one
    // A silent slave holds the router's Modbus lock for the whole wait; a
    // wait beyond the lock's would only lock the user out, disconnect included.
    if (sec >= maxReplyWaitSeconds) {
        sec = maxReplyWaitSeconds;
        usec = 0;
    }
    if (linkOf(ctx)->stream) {
        linkOf(ctx)->stream->setReplyTimeout(static_cast<int>(sec * 1000 + (usec + 999) / 1000));
        return;
    }
    keepError(::modbus_set_response_timeout(context(ctx), static_cast<uint32_t>(sec), static_cast<uint32_t>(usec)));
}

QString ModbusLibrary::modbus_strerror(int errnum)
{
    return QString::fromLocal8Bit(::modbus_strerror(errnum));
}

int ModbusLibrary::lastError() const
{
    return m_lastError;
}

int ModbusLibrary::lastExceptionCode() const
{
    return m_lastException;
}

void ModbusLibrary::setMonitor(TrafficLog *traffic, BusStats *stats)
{
    m_traffic = traffic;
    m_stats = stats;
}

int ModbusLibrary::headerLength(ModbusHandle ctx)
{
    if (!ctx)
        return 0;
    return linkOf(ctx)->stream ? 1 : ::modbus_get_header_length(context(ctx));
}

void ModbusLibrary::capture(TrafficDirection dir, quint8 unit, quint8 function, TrafficResult result,
                            quint8 exceptionCode, qint64 rttUs, const uint8_t *bytes, int length, qint64 t)
{
    if (!m_traffic)
        return;
    TrafficMeta meta;
    meta.dir = dir;
    meta.unit = unit;
    meta.functionCode = function & 0x7F;
    meta.result = result;
    meta.exceptionCode = exceptionCode;
    meta.rttUs = rttUs;
    m_traffic->record(meta, reinterpret_cast<const char *>(bytes), length, t);
}

void ModbusLibrary::count(BusOutcome outcome, qint64 rttUs, quint8 exceptionCode)
{
    if (m_stats)
        m_stats->record(outcome, rttUs, exceptionCode);
}

int ModbusLibrary::exchange(ModbusHandle ctx, const uint8_t *pdu, int length, uint8_t *replyAdu)
{
    m_lastException = 0;
    if (!ctx || length < 1 || length > MODBUS_MAX_PDU_LENGTH)
        return fail(EINVAL);
    // What the capture reads of a failed reply is only ever what arrived.
    std::memset(replyAdu, 0, MODBUS_MAX_ADU_LENGTH);
    Link *link = linkOf(ctx);
    if (link->stream)
        return exchangeRtuStream(link, pdu, length, replyAdu);
    modbus_t *mb = link->mb;
    if (!hasUnit(mb))
        return fail(EINVAL);
    const uint8_t unit = static_cast<uint8_t>(::modbus_get_slave(mb));
    const uint8_t function = pdu[0];
    uint8_t request[MODBUS_MAX_PDU_LENGTH + 1];
    request[0] = unit;
    std::memcpy(request + 1, pdu, static_cast<size_t>(length));
    const bool tcp = overTcp(mb);
    if (::modbus_send_raw_request(mb, request, length + 1) < 0)
        return keepError(-1);
    const qint64 sentAt = nowUs();
    if (m_traffic) {
        uint8_t adu[MODBUS_MAX_ADU_LENGTH];
        int size = 0;
        if (tcp) {
            // libmodbus sends a raw request with transaction id 0.
            writeMbapHeader(adu, 0, unit, length);
            std::memcpy(adu + mbapHeaderLength, pdu, static_cast<size_t>(length));
            size = mbapHeaderLength + length;
        } else {
            std::memcpy(adu, request, static_cast<size_t>(length + 1));
            const quint16 crc = modbusCrc16(request, length + 1);
            adu[length + 1] = static_cast<uint8_t>(crc & 0xFF);
            adu[length + 2] = static_cast<uint8_t>(crc >> 8);
            size = length + 3;
        }
        capture(TrafficDirection::Tx, unit, function, TrafficResult::Ok, 0, 0, adu, size);
    }

    const int rc = receive(mb, function, replyAdu);
    const qint64 rtt = nowUs() - sentAt;
    if (rc < 0) {
        const int errnum = errno;
        if (errnum == ETIMEDOUT || errnum == EIO) {
            capture(TrafficDirection::Event, unit, function, TrafficResult::Timeout, 0, rtt, nullptr, 0);
            count(BusOutcome::Timeout);
        } else if (errnum == EMBBADCRC) {
            // Cut as libmodbus cut it: by the function code and byte count.
            const int size =
                    qBound(0, rtuConfirmationLength(replyAdu, MODBUS_RTU_MAX_ADU_LENGTH), MODBUS_RTU_MAX_ADU_LENGTH);
            capture(TrafficDirection::Event, unit, function, TrafficResult::Crc, 0, rtt, replyAdu, size);
            count(BusOutcome::CrcError);
        } else {
            count(BusOutcome::Other);
        }
        errno = errnum;
        return keepError(-1);
    }
    const int checked = checkReply(ctx, function, replyAdu, rc);
    if (rc > 0) {
        const bool exception = m_lastException != 0;
        capture(TrafficDirection::Rx, tcp ? replyAdu[6] : replyAdu[0], function,
                exception ? TrafficResult::Exception : TrafficResult::Ok, static_cast<quint8>(m_lastException), rtt,
                replyAdu, rc);
        count(exception             ? BusOutcome::Exception
                      : checked < 0 ? BusOutcome::Other
                                    : BusOutcome::Ok,
              rtt, static_cast<quint8>(m_lastException));
    } else {
        count(BusOutcome::Other);
    }
    return checked;
}

int ModbusLibrary::exchangeRtuStream(Link *link, const uint8_t *pdu, int length, uint8_t *replyAdu)
{
    if (link->unit < 0)
        return fail(EINVAL);
    const uint8_t unit = static_cast<uint8_t>(link->unit);
    const uint8_t function = pdu[0];
    const QByteArray request = rtuAdu(unit, QByteArray(reinterpret_cast<const char *>(pdu), length));
    const qint64 sentAtMs = QDateTime::currentMSecsSinceEpoch();
    const RtuOverTcpTransport::Reply reply = link->stream->transact(request);
    using Status = RtuOverTcpTransport::Status;
    if (reply.status == Status::NotConnected)
        return fail(ENOTCONN);
    capture(TrafficDirection::Tx, unit, function, TrafficResult::Ok, 0, 0,
            reinterpret_cast<const uint8_t *>(request.constData()), request.size(), sentAtMs);
    const uint8_t *received = reinterpret_cast<const uint8_t *>(reply.received.constData());
    const int size = reply.received.size();
    switch (reply.status) {
    case Status::Ok:
        // A broadcast, which no unit answers: as libmodbus on a line, no reply.
        if (reply.adu.isEmpty())
            break;
        capture(TrafficDirection::Rx, unit, function, TrafficResult::Ok, 0, reply.rttUs, received, size);
        count(BusOutcome::Ok, reply.rttUs);
        std::memcpy(replyAdu, received, static_cast<size_t>(size));
        return size;
    case Status::Exception:
        m_lastException = reply.exceptionCode;
        capture(TrafficDirection::Rx, unit, function, TrafficResult::Exception, reply.exceptionCode, reply.rttUs,
                received, size);
        count(BusOutcome::Exception, reply.rttUs, reply.exceptionCode);
        return fail(exceptionError(reply.exceptionCode));
    case Status::Timeout: break;
    case Status::CrcError:
        capture(TrafficDirection::Event, unit, function, TrafficResult::Crc, 0, reply.rttUs, received, size);
        count(BusOutcome::CrcError);
        return fail(EMBBADCRC);
    case Status::BadReply:
        capture(TrafficDirection::Rx, unit, function, TrafficResult::Ok, 0, reply.rttUs, received, size);
        count(BusOutcome::Other);
        return fail(EMBBADDATA);
    case Status::ConnectionLost: count(BusOutcome::Other); return fail(ECONNRESET);
    case Status::NotConnected: break;
    }
    capture(TrafficDirection::Event, unit, function, TrafficResult::Timeout, 0, reply.rttUs, received, size);
    count(BusOutcome::Timeout);
    return fail(ETIMEDOUT);
}

int ModbusLibrary::receive(modbus_t *mb, uint8_t function, uint8_t *replyAdu)
{
    const int rc = ::modbus_receive_confirmation(mb, replyAdu);
    if (function == fcDeviceIdentification)
        return completeDeviceIdReply(mb, replyAdu, rc);
    return rc;
}

int ModbusLibrary::checkReply(ModbusHandle ctx, uint8_t function, const uint8_t *reply, int length)
{
    const int offset = headerLength(ctx);
    const int tail = checksumLength(ctx);
    // On RTU libmodbus answers 0 for a frame from another unit.
    if (length == 0)
        return fail(EMBBADSLAVE);
    if (length < offset + 1 + tail || (offset == 7 && (reply[2] != 0 || reply[3] != 0)))
        return fail(EMBBADDATA);
    if (reply[offset] == (function | 0x80)) {
        if (length != offset + 2 + tail)
            return fail(EMBBADDATA);
        m_lastException = reply[offset + 1];
        return fail(exceptionError(reply[offset + 1]));
    }
    if (reply[offset] != function)
        return fail(EMBBADDATA);
    return length;
}

int ModbusLibrary::readBlock(ModbusHandle ctx, uint8_t function, int addr, int nb, int limit, int byteCount,
                             uint8_t *reply)
{
    if (!ctx)
        return fail(EINVAL);
    if (nb < 1 || nb > limit)
        return fail(EMBMDATA);
    uint8_t pdu[5] = {function};
    putWord(pdu + 1, addr);
    putWord(pdu + 3, nb);
    const int rc = exchange(ctx, pdu, sizeof pdu, reply);
    if (rc < 0)
        return rc;
    const int offset = headerLength(ctx);
    if (rc != offset + 2 + byteCount + checksumLength(ctx) || reply[offset + 1] != byteCount)
        return fail(EMBBADDATA);
    return offset + 2;
}

int ModbusLibrary::readWords(ModbusHandle ctx, uint8_t function, int addr, int nb, bool wide, uint16_t *dest)
{
    uint8_t reply[MODBUS_MAX_ADU_LENGTH];
    const int at = readBlock(ctx, function, addr, nb, wide ? maxRead32 : maxReadRegisters, nb * (wide ? 4 : 2), reply);
    if (at < 0)
        return at;
    const uint8_t *data = reply + at;
    for (int i = 0; i < nb; ++i) {
        if (wide) {
            dest[2 * i + 1] = static_cast<uint16_t>(word(data + 4 * i));
            dest[2 * i] = static_cast<uint16_t>(word(data + 4 * i + 2));
        } else {
            dest[i] = static_cast<uint16_t>(word(data + 2 * i));
        }
    }
    return nb;
}

int ModbusLibrary::readBitBlock(ModbusHandle ctx, uint8_t function, int addr, int nb, uint8_t *dest)
{
    uint8_t reply[MODBUS_MAX_ADU_LENGTH];
    const int at = readBlock(ctx, function, addr, nb, maxReadBits, (nb + 7) / 8, reply);
    if (at < 0)
        return at;
    for (int i = 0; i < nb; ++i)
        dest[i] = (reply[at + i / 8] >> (i % 8)) & 1;
    return nb;
}

int ModbusLibrary::writeEchoed(ModbusHandle ctx, const uint8_t *pdu, int length, int echoLength, int same)
{
    uint8_t reply[MODBUS_MAX_ADU_LENGTH];
    const int rc = exchange(ctx, pdu, length, reply);
    if (rc < 0)
        return rc;
    const int offset = headerLength(ctx);
    const uint8_t *echo = reply + offset + 1;
    if (rc != offset + 1 + echoLength + checksumLength(ctx)
        || std::memcmp(echo, pdu + 1, static_cast<size_t>(same)) != 0)
        return fail(EMBBADDATA);
    return word(echo + 2);
}

int ModbusLibrary::modbus_read_registers(ModbusHandle ctx, int addr, int nb, uint16_t *dest)
{
    return readWords(ctx, fcReadHoldingRegisters, addr, nb, false, dest);
}

int ModbusLibrary::modbus_read_registers_32(ModbusHandle ctx, int addr, int nb, uint16_t *dest)
{
    return readWords(ctx, fcReadHoldingRegisters, addr, nb, true, dest);
}

int ModbusLibrary::modbus_read_input_registers(ModbusHandle ctx, int addr, int nb, uint16_t *dest)
{
    return readWords(ctx, fcReadInputRegisters, addr, nb, false, dest);
}

int ModbusLibrary::modbus_read_input_registers_32(ModbusHandle ctx, int addr, int nb, uint16_t *dest)
{
    return readWords(ctx, fcReadInputRegisters, addr, nb, true, dest);
}

int ModbusLibrary::modbus_read_bits(ModbusHandle ctx, int addr, int nb, uint8_t *dest)
{
    return readBitBlock(ctx, fcReadCoils, addr, nb, dest);
}

int ModbusLibrary::modbus_read_input_bits(ModbusHandle ctx, int addr, int nb, uint8_t *dest)
{
    return readBitBlock(ctx, fcReadDiscreteInputs, addr, nb, dest);
}

int ModbusLibrary::modbus_write_registers(ModbusHandle ctx, int addr, int nb, const uint16_t *src)
{
    if (!ctx)
        return fail(EINVAL);
    if (nb < 1 || nb > maxWriteRegisters)
        return fail(EMBMDATA);
    uint8_t pdu[MODBUS_MAX_PDU_LENGTH] = {fcWriteRegisters};
    putWord(pdu + 1, addr);
    putWord(pdu + 3, nb);
    pdu[5] = static_cast<uint8_t>(2 * nb);
    for (int i = 0; i < nb; ++i)
        putWord(pdu + 6 + 2 * i, src[i]);
    const int echoed = writeEchoed(ctx, pdu, 6 + 2 * nb, 4, 2);
    // As libmodbus: another count in the echo is a bad reply.
    return echoed < 0 || echoed == nb ? echoed : fail(EMBBADDATA);
}

int ModbusLibrary::modbus_write_registers_32(ModbusHandle ctx, int addr, int nb, const uint32_t *src)
{
    if (!ctx)
        return fail(EINVAL);
    if (nb < 1 || nb > maxWrite32)
        return fail(EMBMDATA);
    uint8_t pdu[MODBUS_MAX_PDU_LENGTH] = {fcWriteRegisters};
    putWord(pdu + 1, addr);
    putWord(pdu + 3, nb);
    pdu[5] = static_cast<uint8_t>(4 * nb);
    for (int i = 0; i < nb; ++i) {
        putWord(pdu + 6 + 4 * i, static_cast<int>(src[i] >> 16));
        putWord(pdu + 8 + 4 * i, static_cast<int>(src[i] & 0xFFFF));
    }
    // The echoed count, which the engine weighs against the one asked.
    return writeEchoed(ctx, pdu, 6 + 4 * nb, 4, 2);
}

int ModbusLibrary::modbus_write_register(ModbusHandle ctx, int addr, uint16_t value)
{
    uint8_t pdu[5] = {fcWriteRegister};
    putWord(pdu + 1, addr);
    putWord(pdu + 3, value);
    return writeEchoed(ctx, pdu, sizeof pdu, 4, 4) < 0 ? -1 : 1;
}

int ModbusLibrary::modbus_write_bit(ModbusHandle ctx, int addr, int status)
{
    uint8_t pdu[5] = {fcWriteCoil};
    putWord(pdu + 1, addr);
    putWord(pdu + 3, status ? 0xFF00 : 0x0000);
    return writeEchoed(ctx, pdu, sizeof pdu, 4, 4) < 0 ? -1 : 1;
}

int ModbusLibrary::modbus_write_bits(ModbusHandle ctx, int addr, int nb, const uint8_t *src)
{
    if (!ctx)
        return fail(EINVAL);
    if (nb < 1 || nb > maxWriteBits)
        return fail(EMBMDATA);
    uint8_t pdu[MODBUS_MAX_PDU_LENGTH] = {fcWriteCoils};
    putWord(pdu + 1, addr);
    putWord(pdu + 3, nb);
    const int bytes = (nb + 7) / 8;
    pdu[5] = static_cast<uint8_t>(bytes);
    std::memset(pdu + 6, 0, static_cast<size_t>(bytes));
    for (int i = 0; i < nb; ++i) {
        if (src[i])
            pdu[6 + i / 8] |= static_cast<uint8_t>(1 << (i % 8));
    }
    const int echoed = writeEchoed(ctx, pdu, 6 + bytes, 4, 2);
    return echoed < 0 || echoed == nb ? echoed : fail(EMBBADDATA);
}

int ModbusLibrary::modbus_mask_write_register(ModbusHandle ctx, int addr, uint16_t andMask, uint16_t orMask)
{
    uint8_t pdu[7] = {fcMaskWriteRegister};
    putWord(pdu + 1, addr);
    putWord(pdu + 3, andMask);
    putWord(pdu + 5, orMask);
    return writeEchoed(ctx, pdu, sizeof pdu, 6, 6) < 0 ? -1 : 1;
}

int ModbusLibrary::modbus_report_slave_id(ModbusHandle ctx, uint8_t *dest)
{
    const uint8_t pdu[1] = {fcReportSlaveId};
    uint8_t reply[MODBUS_MAX_ADU_LENGTH];
    const int rc = exchange(ctx, pdu, sizeof pdu, reply);
    if (rc < 0)
        return rc;
    const int offset = headerLength(ctx);
    const int count = reply[offset + 1];
    if (rc != offset + 2 + count + checksumLength(ctx))
        return fail(EMBBADDATA);
    std::memcpy(dest, reply + offset + 2, static_cast<size_t>(count));
    return count;
}

int ModbusLibrary::modbus_read_device_id(ModbusHandle ctx, int readCode, int objectId, uint8_t *dest)
{
    const uint8_t pdu[4] = {fcDeviceIdentification, 0x0E, static_cast<uint8_t>(readCode),
                            static_cast<uint8_t>(objectId)};
    uint8_t reply[MODBUS_MAX_ADU_LENGTH];
    const int rc = exchange(ctx, pdu, sizeof pdu, reply);
    if (rc < 0)
        return rc;
    const int offset = headerLength(ctx);
    const int length = rc - offset - checksumLength(ctx);
    DeviceIdPage page;
    if (length > MODBUS_MAX_PDU_LENGTH
        || !parseDeviceIdReply(QByteArray(reinterpret_cast<const char *>(reply + offset), length), &page))
        return fail(EMBBADDATA);
    std::memcpy(dest, reply + offset, static_cast<size_t>(length));
    return length;
}
