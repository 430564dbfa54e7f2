#ifndef BUSBACKEND_H
#define BUSBACKEND_H

#include <functional>
#include <memory>

#include "buslines.h"
#include "modbusbackend.h"

// One master's access layer onto the shared lines: each transfer waits its
// turn on the line's FIFO lock. A TCP handle keeps a context of its own; a
// serial handle stands for the line's shared context, with this master's
// unit, reply time-out and serial settings applied before each of its
// transfers (the port is reopened when another master left other settings
// on it). A serial line also keeps the 3.5-character silence between frames
// whoever sent the last one.
//
// One instance per engine: the error number of the last call is its own.
// Not safe for concurrent calls on one instance.
class BusBackend : public ModbusBackend
{
public:
    // library: the real access layer (not owned); a ModbusLibrary of its own when null.
    explicit BusBackend(BusLines &lines, ModbusBackend *library = nullptr);
    ~BusBackend() override;

    int requestLimit(ModbusTable table, bool write, int wordSize) const override;
    QList<QextPortInfo> getPorts() override;

    ModbusHandle modbus_new_rtu(const char *device, int baud, char parity, int dataBits, int stopBits) override;
    ModbusHandle modbus_new_tcp(const char *host, int port) override;
    int modbus_connect(ModbusHandle ctx) override;
    void modbus_close(ModbusHandle ctx) override;
    void modbus_free(ModbusHandle ctx) override;
    int modbus_set_slave(ModbusHandle ctx, int slave) override;
    void modbus_get_timeout_begin(ModbusHandle ctx, ModbusTimeValue *timeout) override;
    void modbus_set_timeout_begin(ModbusHandle ctx, const ModbusTimeValue *timeout) override;
    int modbus_read_registers(ModbusHandle ctx, int addr, int nb, uint16_t *dest) override;
    int modbus_read_registers_32(ModbusHandle ctx, int addr, int nb, uint16_t *dest) override;
    int modbus_write_registers(ModbusHandle ctx, int addr, int nb, const uint16_t *src) override;
    int modbus_write_registers_32(ModbusHandle ctx, int addr, int nb, const uint32_t *src) override;
    int modbus_report_slave_id(ModbusHandle ctx, uint8_t *dest) override;
    QString modbus_strerror(int errnum) override;
    int lastError() const override;

    int modbus_read_bits(ModbusHandle ctx, int addr, int nb, uint8_t *dest) override;
    int modbus_read_input_bits(ModbusHandle ctx, int addr, int nb, uint8_t *dest) override;
    int modbus_read_input_registers(ModbusHandle ctx, int addr, int nb, uint16_t *dest) override;
    int modbus_read_input_registers_32(ModbusHandle ctx, int addr, int nb, uint16_t *dest) override;
    int modbus_write_bit(ModbusHandle ctx, int addr, int status) override;
    int modbus_write_bits(ModbusHandle ctx, int addr, int nb, const uint8_t *src) override;
    int modbus_write_register(ModbusHandle ctx, int addr, uint16_t value) override;
    int modbus_mask_write_register(ModbusHandle ctx, int addr, uint16_t andMask, uint16_t orMask) override;
    int modbus_read_device_id(ModbusHandle ctx, int readCode, int objectId, uint8_t *dest) override;
    void modbus_flush(ModbusHandle ctx) override;
    ModbusHandle modbus_new_rtu_tcp(const char *host, int port) override;
    void setMonitor(TrafficLog *traffic, BusStats *stats) override;
    int lastExceptionCode() const override;

private:
    struct Handle;
    static Handle *handleOf(ModbusHandle ctx) { return static_cast<Handle *>(ctx); }
    // Runs one library transfer on the handle's context with the line held.
    int transfer(ModbusHandle ctx, const std::function<int(ModbusHandle)> &call);
    // With the line held: the shared context open with the handle's settings.
    int openShared(Handle *h);
    void release(Handle *h);
    int fail(int errnum);
    // A TCP or RTU-over-TCP handle: a context of its own, on the line of host:port.
    ModbusHandle ownHandle(ModbusHandle own, const char *host, int port);

    BusLines &lines;
    std::unique_ptr<ModbusBackend> ownLibrary;
    ModbusBackend *library;
    int error = 0;
};

#endif // BUSBACKEND_H
