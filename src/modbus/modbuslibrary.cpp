#include "modbuslibrary.h"

#include <cerrno>
#include <modbus/modbus.h>

namespace {

// The router gives up waiting for its Modbus lock after this long.
const int64_t maxReplyWaitSeconds = 10;

modbus_t *context(ModbusHandle ctx)
{
    return static_cast<modbus_t *>(ctx);
}

// Bytes after the PDU: the CRC on a serial line, nothing on TCP.
int checksumLength(modbus_t *ctx)
{
    return ::modbus_get_header_length(ctx) == 1 ? 2 : 0;
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
    modbus_t *ctx = ::modbus_new_rtu(device, baud, parity, dataBits, stopBits);
    if (!ctx)
        m_lastError = errno;
    return ctx;
}

ModbusHandle ModbusLibrary::modbus_new_tcp(const char *host, int port)
{
    modbus_t *ctx = ::modbus_new_tcp(host, port);
    if (!ctx)
        m_lastError = errno;
    return ctx;
}

int ModbusLibrary::modbus_connect(ModbusHandle ctx)
{
    if (!ctx)
        return fail(EINVAL);
    return keepError(::modbus_connect(context(ctx)));
}

void ModbusLibrary::modbus_close(ModbusHandle ctx)
{
    if (ctx)
        ::modbus_close(context(ctx));
}

void ModbusLibrary::modbus_free(ModbusHandle ctx)
{
    if (ctx)
        ::modbus_free(context(ctx));
}

int ModbusLibrary::modbus_set_slave(ModbusHandle ctx, int slave)
{
    if (!ctx)
        return fail(EINVAL);
    return keepError(::modbus_set_slave(context(ctx), slave));
}

void ModbusLibrary::modbus_get_timeout_begin(ModbusHandle ctx, ModbusTimeValue *timeout)
{
    uint32_t sec = 0;
    uint32_t usec = 0;
    if (ctx)
        ::modbus_get_response_timeout(context(ctx), &sec, &usec);
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
    keepError(::modbus_set_response_timeout(context(ctx), static_cast<uint32_t>(sec), static_cast<uint32_t>(usec)));
}

int ModbusLibrary::modbus_read_registers(ModbusHandle ctx, int addr, int nb, uint16_t *dest)
{
    if (!ctx || !hasUnit(context(ctx)))
        return fail(EINVAL);
    return keepError(::modbus_read_registers(context(ctx), addr, nb, dest));
}

int ModbusLibrary::modbus_write_registers(ModbusHandle ctx, int addr, int nb, const uint16_t *src)
{
    if (!ctx || !hasUnit(context(ctx)))
        return fail(EINVAL);
    return keepError(::modbus_write_registers(context(ctx), addr, nb, src));
}

int ModbusLibrary::rawTransaction(modbus_t *mb, const uint8_t *request, int length, uint8_t *reply)
{
    if (::modbus_send_raw_request(mb, request, length) < 0)
        return keepError(-1);
    const int rc = ::modbus_receive_confirmation(mb, reply);
    if (rc < 0)
        return keepError(-1);
    const int offset = ::modbus_get_header_length(mb);
    if (rc == offset + 2 + checksumLength(mb) && reply[offset] == (request[1] | 0x80))
        return fail(exceptionError(reply[offset + 1]));
    return rc;
}

int ModbusLibrary::modbus_read_registers_32(ModbusHandle ctx, int addr, int nb, uint16_t *dest)
{
    if (!ctx || !hasUnit(context(ctx)))
        return fail(EINVAL);
    if (nb < 1 || nb > maxRead32)
        return fail(EMBMDATA);
    modbus_t *mb = context(ctx);
    const uint8_t request[6] = {static_cast<uint8_t>(::modbus_get_slave(mb)),
                                0x03,
                                static_cast<uint8_t>(addr >> 8),
                                static_cast<uint8_t>(addr & 0xFF),
                                static_cast<uint8_t>(nb >> 8),
                                static_cast<uint8_t>(nb & 0xFF)};
    uint8_t reply[MODBUS_MAX_ADU_LENGTH];
    const int rc = rawTransaction(mb, request, sizeof request, reply);
    if (rc < 0)
        return rc;

    const int offset = ::modbus_get_header_length(mb);
    const int tail = checksumLength(mb);
    const int byteCount = 4 * nb;
    if (rc != offset + 2 + byteCount + tail || reply[offset] != 0x03 || reply[offset + 1] != byteCount)
        return fail(EMBBADDATA);

    const uint8_t *data = reply + offset + 2;
    for (int i = 0; i < nb; ++i) {
        const uint8_t *b = data + 4 * i;
        dest[2 * i + 1] = static_cast<uint16_t>((b[0] << 8) | b[1]);
        dest[2 * i] = static_cast<uint16_t>((b[2] << 8) | b[3]);
    }
    return nb;
}

int ModbusLibrary::modbus_write_registers_32(ModbusHandle ctx, int addr, int nb, const uint32_t *src)
{
    if (!ctx || !hasUnit(context(ctx)))
        return fail(EINVAL);
    if (nb < 1 || nb > maxWrite32)
        return fail(EMBMDATA);
    modbus_t *mb = context(ctx);
    uint8_t request[MODBUS_MAX_PDU_LENGTH + 1];
    int len = 0;
    request[len++] = static_cast<uint8_t>(::modbus_get_slave(mb));
    request[len++] = 0x10;
    request[len++] = static_cast<uint8_t>(addr >> 8);
    request[len++] = static_cast<uint8_t>(addr & 0xFF);
    request[len++] = static_cast<uint8_t>(nb >> 8);
    request[len++] = static_cast<uint8_t>(nb & 0xFF);
    request[len++] = static_cast<uint8_t>(4 * nb);
    for (int i = 0; i < nb; ++i) {
        request[len++] = static_cast<uint8_t>(src[i] >> 24);
        request[len++] = static_cast<uint8_t>(src[i] >> 16);
        request[len++] = static_cast<uint8_t>(src[i] >> 8);
        request[len++] = static_cast<uint8_t>(src[i]);
    }
    uint8_t reply[MODBUS_MAX_ADU_LENGTH];
    const int rc = rawTransaction(mb, request, len, reply);
    if (rc < 0)
        return rc;

    const int offset = ::modbus_get_header_length(mb);
    const int tail = checksumLength(mb);
    if (rc != offset + 5 + tail || reply[offset] != 0x10)
        return fail(EMBBADDATA);
    const int echoedAddr = (reply[offset + 1] << 8) | reply[offset + 2];
    const int echoedCount = (reply[offset + 3] << 8) | reply[offset + 4];
    if (echoedAddr != (addr & 0xFFFF))
        return fail(EMBBADDATA);
    return echoedCount;
}

int ModbusLibrary::modbus_report_slave_id(ModbusHandle ctx, uint8_t *dest)
{
    if (!ctx || !hasUnit(context(ctx)))
        return fail(EINVAL);
    return keepError(::modbus_report_slave_id(context(ctx), 256, dest));
}

QString ModbusLibrary::modbus_strerror(int errnum)
{
    return QString::fromLocal8Bit(::modbus_strerror(errnum));
}

int ModbusLibrary::lastError() const
{
    return m_lastError;
}
