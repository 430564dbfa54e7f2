#ifndef MODBUSBACKEND_H
#define MODBUSBACKEND_H

#include <QList>
#include <QString>
#include <cstdint>
#include "modbustypes.h"
#include "qextserialenumerator.h"

class BusStats;
class TrafficLog;

// Opaque context of one serial, TCP or RTU-over-TCP link.
typedef void *ModbusHandle;

// Reply time-out: whole seconds, then microseconds.
struct ModbusTimeValue
{
    int32_t tv_sec = 0;
    int32_t tv_usec = 0;
};

// Everything the engine needs from a Modbus library. The engine never calls
// libmodbus itself, so tests can put a scripted fake in its place.
// Failures return -1 and leave the error number in lastError(). Bits travel
// one byte each, 0 or 1.
class ModbusBackend
{
public:
    virtual ~ModbusBackend();

    // What one request carries: Modbus' own limits, and as many 32-bit
    // registers as fit a frame.
    static const int maxReadBits = 2000;
    static const int maxWriteBits = 1968;
    static const int maxReadRegisters = 125;
    static const int maxWriteRegisters = 123;
    static const int maxRead32 = 62;
    static const int maxWrite32 = 61;

    // The most values one call below may ask for; the engine splits longer
    // transfers. wordSize is 16 or 32 for registers, ignored for bits.
    virtual int requestLimit(ModbusTable table, bool write, int wordSize) const;

    virtual QList<QextPortInfo> getPorts() = 0;

    virtual ModbusHandle modbus_new_rtu(const char *device, int baud, char parity, int dataBits, int stopBits) = 0;
    virtual ModbusHandle modbus_new_tcp(const char *host, int port) = 0;
    virtual int modbus_connect(ModbusHandle ctx) = 0;
    virtual void modbus_close(ModbusHandle ctx) = 0;
    virtual void modbus_free(ModbusHandle ctx) = 0;
    virtual int modbus_set_slave(ModbusHandle ctx, int slave) = 0;
    virtual void modbus_get_timeout_begin(ModbusHandle ctx, ModbusTimeValue *timeout) = 0;
    virtual void modbus_set_timeout_begin(ModbusHandle ctx, const ModbusTimeValue *timeout) = 0;
    virtual int modbus_read_registers(ModbusHandle ctx, int addr, int nb, uint16_t *dest) = 0;
    // nb 32-bit registers into 2 x nb units, each register low half first.
    virtual int modbus_read_registers_32(ModbusHandle ctx, int addr, int nb, uint16_t *dest) = 0;
    virtual int modbus_write_registers(ModbusHandle ctx, int addr, int nb, const uint16_t *src) = 0;
    virtual int modbus_write_registers_32(ModbusHandle ctx, int addr, int nb, const uint32_t *src) = 0;
    // dest must hold 256 bytes.
    virtual int modbus_report_slave_id(ModbusHandle ctx, uint8_t *dest) = 0;
    virtual QString modbus_strerror(int errnum) = 0;
    virtual int lastError() const = 0;

    // Functions 1, 2 and 4, and 4 on 32-bit registers.
    virtual int modbus_read_bits(ModbusHandle ctx, int addr, int nb, uint8_t *dest) = 0;
    virtual int modbus_read_input_bits(ModbusHandle ctx, int addr, int nb, uint8_t *dest) = 0;
    virtual int modbus_read_input_registers(ModbusHandle ctx, int addr, int nb, uint16_t *dest) = 0;
    virtual int modbus_read_input_registers_32(ModbusHandle ctx, int addr, int nb, uint16_t *dest) = 0;
    // Functions 5, 15, 6 and 22. The single writes return 1.
    virtual int modbus_write_bit(ModbusHandle ctx, int addr, int status) = 0;
    virtual int modbus_write_bits(ModbusHandle ctx, int addr, int nb, const uint8_t *src) = 0;
    virtual int modbus_write_register(ModbusHandle ctx, int addr, uint16_t value) = 0;
    virtual int modbus_mask_write_register(ModbusHandle ctx, int addr, uint16_t andMask, uint16_t orMask) = 0;
    // Function 43 / MEI 14 from objectId: the reply PDU, function code first,
    // into dest (253 bytes); returns its length.
    virtual int modbus_read_device_id(ModbusHandle ctx, int readCode, int objectId, uint8_t *dest) = 0;

    // Drops what arrived unasked on the link, so a late reply is not taken
    // for the next one.
    virtual void modbus_flush(ModbusHandle ctx);
    // RTU frames over a TCP stream, which libmodbus does not offer. The reply
    // time-out set on the context also bounds its connect.
    virtual ModbusHandle modbus_new_rtu_tcp(const char *host, int port);
    // Where every frame sent and received, and how each request ended, are
    // kept (either may be null). Both must outlive the backend's use.
    virtual void setMonitor(TrafficLog *traffic, BusStats *stats);
    // The code of the exception reply the last request got; 0 for none.
    virtual int lastExceptionCode() const;
};

#endif // MODBUSBACKEND_H
