#ifndef MODBUSBACKEND_H
#define MODBUSBACKEND_H

#include <QList>
#include <QString>
#include <cstdint>
#include "qextserialenumerator.h"

// Opaque context of one serial or TCP link.
typedef void *ModbusHandle;

// Reply time-out: whole seconds, then microseconds.
struct ModbusTimeValue
{
    int32_t tv_sec = 0;
    int32_t tv_usec = 0;
};

// Everything the engine needs from a Modbus library. The engine never calls
// libmodbus itself, so tests can put a scripted fake in its place.
// Failures return -1 and leave the error number in lastError().
class ModbusBackend
{
public:
    virtual ~ModbusBackend();

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
};

#endif // MODBUSBACKEND_H
