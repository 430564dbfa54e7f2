#ifndef MODBUSLIBRARY_H
#define MODBUSLIBRARY_H

#include "modbusbackend.h"

// The Modbus access layer on libmodbus 3.1.
class ModbusLibrary : public ModbusBackend
{
public:
    // extraPorts are listed after the machine's own serial ports.
    explicit ModbusLibrary(const QStringList &extraPorts = QStringList());
    void setExtraPorts(const QStringList &extraPorts);

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

    // Most 32-bit registers one request can carry.
    static const int maxRead32 = 62;
    static const int maxWrite32 = 61;

private:
    // Sends a raw request (unit id and PDU) and receives its confirmation;
    // an exception reply becomes its error. Returns the reply length or -1.
    int rawTransaction(struct _modbus *mb, const uint8_t *request, int length, uint8_t *reply);
    int fail(int errnum);
    int keepError(int rc);

    QStringList m_extraPorts;
    int m_lastError = 0;
};

#endif // MODBUSLIBRARY_H
