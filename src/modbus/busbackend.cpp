#include "busbackend.h"

#include <QThread>
#include <cerrno>

#include "modbuslibrary.h"

namespace {

// The largest unit a serial line carries, as the library checks it.
const int maxSerialUnit = 247;

// The silence that ends an RTU frame: 3.5 characters of 11 bits, and a
// fixed 1.75 ms above 19200 baud, as the protocol lays down.
std::chrono::microseconds frameGap(int baud)
{
    if (baud <= 0 || baud > 19200)
        return std::chrono::microseconds(1750);
    return std::chrono::microseconds(38500000LL / baud);
}

} // namespace

struct BusBackend::Handle
{
    bool serial = false;
    std::shared_ptr<BusLines::Line> line;
    ModbusHandle own = nullptr; // TCP: this handle's context
    BusLines::SerialSettings settings; // serial
    bool connected = false; // serial: counted in line->users
    int slave = -1;
    bool hasTimeout = false;
    ModbusTimeValue timeout;
};

BusBackend::BusBackend(BusLines &lines, ModbusBackend *library) : lines(lines), library(library)
{
    if (!this->library) {
        ownLibrary = std::make_unique<ModbusLibrary>();
        this->library = ownLibrary.get();
    }
}

BusBackend::~BusBackend() = default;

int BusBackend::fail(int errnum)
{
    error = errnum;
    errno = errnum;
    return -1;
}

int BusBackend::lastError() const
{
    return error;
}

QString BusBackend::modbus_strerror(int errnum)
{
    return library->modbus_strerror(errnum);
}

QList<QextPortInfo> BusBackend::getPorts()
{
    return library->getPorts();
}

ModbusHandle BusBackend::modbus_new_rtu(const char *device, int baud, char parity, int dataBits, int stopBits)
{
    if (!device || baud <= 0) {
        fail(EINVAL);
        return nullptr;
    }
    auto h = std::make_unique<Handle>();
    h->serial = true;
    h->settings = {QByteArray(device), baud, parity, dataBits, stopBits};
    h->line = lines.line(BusLines::serialKey(h->settings.device));
    return h.release();
}

int BusBackend::requestLimit(ModbusTable table, bool write, int wordSize) const
{
    return library->requestLimit(table, write, wordSize);
}

ModbusHandle BusBackend::modbus_new_tcp(const char *host, int port)
{
    return ownHandle(library->modbus_new_tcp(host, port), host, port);
}

ModbusHandle BusBackend::modbus_new_rtu_tcp(const char *host, int port)
{
    return ownHandle(library->modbus_new_rtu_tcp(host, port), host, port);
}

ModbusHandle BusBackend::ownHandle(ModbusHandle own, const char *host, int port)
{
    if (!own) {
        error = library->lastError();
        return nullptr;
    }
    auto h = std::make_unique<Handle>();
    h->own = own;
    h->line = lines.line(BusLines::tcpKey(QString::fromLatin1(host), port));
    return h.release();
}

int BusBackend::openShared(Handle *h)
{
    BusLines::Line &line = *h->line;
    if (line.context && line.settings == h->settings)
        return 0;
    if (line.context) {
        library->modbus_close(line.context);
        library->modbus_free(line.context);
        line.context = nullptr;
    }
    const BusLines::SerialSettings &s = h->settings;
    line.context = library->modbus_new_rtu(s.device.constData(), s.baud, s.parity, s.dataBits, s.stopBits);
    if (line.context && library->modbus_connect(line.context) != -1) {
        line.settings = s;
        return 0;
    }
    error = library->lastError();
    if (line.context)
        library->modbus_free(line.context);
    line.context = nullptr;
    return -1;
}

int BusBackend::modbus_connect(ModbusHandle ctx)
{
    Handle *h = handleOf(ctx);
    if (!h)
        return fail(EINVAL);
    if (!h->serial) {
        const int rc = library->modbus_connect(h->own);
        if (rc < 0)
            error = library->lastError();
        return rc;
    }
    if (h->connected)
        return 0;
    std::lock_guard<FifoLock> locker(h->line->lock);
    if (openShared(h) < 0)
        return -1;
    h->connected = true;
    ++h->line->users;
    return 0;
}

void BusBackend::release(Handle *h)
{
    if (!h->connected)
        return;
    std::lock_guard<FifoLock> locker(h->line->lock);
    h->connected = false;
    BusLines::Line &line = *h->line;
    if (--line.users == 0 && line.context) {
        library->modbus_close(line.context);
        library->modbus_free(line.context);
        line.context = nullptr;
    }
}

void BusBackend::modbus_close(ModbusHandle ctx)
{
    Handle *h = handleOf(ctx);
    if (!h)
        return;
    if (h->serial)
        release(h);
    else
        library->modbus_close(h->own);
}

void BusBackend::modbus_free(ModbusHandle ctx)
{
    Handle *h = handleOf(ctx);
    if (!h)
        return;
    if (h->serial)
        release(h);
    else
        library->modbus_free(h->own);
    delete h;
}

int BusBackend::modbus_set_slave(ModbusHandle ctx, int slave)
{
    Handle *h = handleOf(ctx);
    if (!h)
        return fail(EINVAL);
    if (!h->serial) {
        const int rc = library->modbus_set_slave(h->own, slave);
        if (rc < 0)
            error = library->lastError();
        return rc;
    }
    if (slave < 0 || slave > maxSerialUnit)
        return fail(EINVAL);
    h->slave = slave;
    return 0;
}

void BusBackend::modbus_get_timeout_begin(ModbusHandle ctx, ModbusTimeValue *timeout)
{
    Handle *h = handleOf(ctx);
    *timeout = ModbusTimeValue();
    if (!h)
        return;
    if (!h->serial) {
        library->modbus_get_timeout_begin(h->own, timeout);
        return;
    }
    if (h->hasTimeout) {
        *timeout = h->timeout;
        return;
    }
    std::lock_guard<FifoLock> locker(h->line->lock);
    if (h->line->context)
        library->modbus_get_timeout_begin(h->line->context, timeout);
    else
        timeout->tv_usec = 500000; // the library's own default
}

void BusBackend::modbus_set_timeout_begin(ModbusHandle ctx, const ModbusTimeValue *timeout)
{
    Handle *h = handleOf(ctx);
    if (!h || !timeout)
        return;
    if (!h->serial) {
        library->modbus_set_timeout_begin(h->own, timeout);
        return;
    }
    h->hasTimeout = true;
    h->timeout = *timeout;
}

int BusBackend::transfer(ModbusHandle ctx, const std::function<int(ModbusHandle)> &call)
{
    Handle *h = handleOf(ctx);
    if (!h)
        return fail(EINVAL);
    std::lock_guard<FifoLock> locker(h->line->lock);
    if (!h->serial) {
        const int rc = call(h->own);
        error = rc < 0 ? library->lastError() : error;
        return rc;
    }
    if (!h->connected)
        return fail(EBADF);
    if (h->slave < 0)
        return fail(EINVAL);
    BusLines::Line &line = *h->line;
    if (openShared(h) < 0)
        return -1;
    if (library->modbus_set_slave(line.context, h->slave) < 0) {
        error = library->lastError();
        return -1;
    }
    if (h->hasTimeout)
        library->modbus_set_timeout_begin(line.context, &h->timeout);
    const auto quietUntil = line.quietSince + frameGap(h->settings.baud);
    const auto now = std::chrono::steady_clock::now();
    if (now < quietUntil)
        QThread::usleep(static_cast<unsigned long>(
                std::chrono::duration_cast<std::chrono::microseconds>(quietUntil - now).count()));
    const int rc = call(line.context);
    if (rc < 0)
        error = library->lastError();
    line.quietSince = std::chrono::steady_clock::now();
    return rc;
}

int BusBackend::modbus_read_registers(ModbusHandle ctx, int addr, int nb, uint16_t *dest)
{
    return transfer(ctx, [&](ModbusHandle c) { return library->modbus_read_registers(c, addr, nb, dest); });
}

int BusBackend::modbus_read_registers_32(ModbusHandle ctx, int addr, int nb, uint16_t *dest)
{
    return transfer(ctx, [&](ModbusHandle c) { return library->modbus_read_registers_32(c, addr, nb, dest); });
}

int BusBackend::modbus_write_registers(ModbusHandle ctx, int addr, int nb, const uint16_t *src)
{
    return transfer(ctx, [&](ModbusHandle c) { return library->modbus_write_registers(c, addr, nb, src); });
}

int BusBackend::modbus_write_registers_32(ModbusHandle ctx, int addr, int nb, const uint32_t *src)
{
    return transfer(ctx, [&](ModbusHandle c) { return library->modbus_write_registers_32(c, addr, nb, src); });
}

int BusBackend::modbus_report_slave_id(ModbusHandle ctx, uint8_t *dest)
{
    return transfer(ctx, [&](ModbusHandle c) { return library->modbus_report_slave_id(c, dest); });
}

int BusBackend::modbus_read_bits(ModbusHandle ctx, int addr, int nb, uint8_t *dest)
{
    return transfer(ctx, [&](ModbusHandle c) { return library->modbus_read_bits(c, addr, nb, dest); });
}

int BusBackend::modbus_read_input_bits(ModbusHandle ctx, int addr, int nb, uint8_t *dest)
{
    return transfer(ctx, [&](ModbusHandle c) { return library->modbus_read_input_bits(c, addr, nb, dest); });
}

int BusBackend::modbus_read_input_registers(ModbusHandle ctx, int addr, int nb, uint16_t *dest)
{
    return transfer(ctx, [&](ModbusHandle c) { return library->modbus_read_input_registers(c, addr, nb, dest); });
}

int BusBackend::modbus_read_input_registers_32(ModbusHandle ctx, int addr, int nb, uint16_t *dest)
{
    return transfer(ctx, [&](ModbusHandle c) { return library->modbus_read_input_registers_32(c, addr, nb, dest); });
}

int BusBackend::modbus_write_bit(ModbusHandle ctx, int addr, int status)
{
    return transfer(ctx, [&](ModbusHandle c) { return library->modbus_write_bit(c, addr, status); });
}

int BusBackend::modbus_write_bits(ModbusHandle ctx, int addr, int nb, const uint8_t *src)
{
    return transfer(ctx, [&](ModbusHandle c) { return library->modbus_write_bits(c, addr, nb, src); });
}

int BusBackend::modbus_write_register(ModbusHandle ctx, int addr, uint16_t value)
{
    return transfer(ctx, [&](ModbusHandle c) { return library->modbus_write_register(c, addr, value); });
}

int BusBackend::modbus_mask_write_register(ModbusHandle ctx, int addr, uint16_t andMask, uint16_t orMask)
{
    return transfer(ctx,
                    [&](ModbusHandle c) { return library->modbus_mask_write_register(c, addr, andMask, orMask); });
}

int BusBackend::modbus_read_device_id(ModbusHandle ctx, int readCode, int objectId, uint8_t *dest)
{
    return transfer(ctx, [&](ModbusHandle c) { return library->modbus_read_device_id(c, readCode, objectId, dest); });
}

void BusBackend::modbus_flush(ModbusHandle ctx)
{
    Handle *h = handleOf(ctx);
    if (!h)
        return;
    std::lock_guard<FifoLock> locker(h->line->lock);
    ModbusHandle c = h->serial ? h->line->context : h->own;
    if (c)
        library->modbus_flush(c);
}

void BusBackend::setMonitor(TrafficLog *traffic, BusStats *stats)
{
    library->setMonitor(traffic, stats);
}

int BusBackend::lastExceptionCode() const
{
    return library->lastExceptionCode();
}
