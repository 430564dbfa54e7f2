#ifndef MODBUSLIBRARY_H
#define MODBUSLIBRARY_H

#include "busstats.h"
#include "modbusbackend.h"
#include "trafficlog.h"

struct _modbus;

// The Modbus access layer on libmodbus 3.1. Every function code goes through
// exchange(): libmodbus frames the request and receives the confirmation for
// RTU or TCP (our own stream carries RTU over TCP), the checks of the reply
// are ours, and every frame is captured there.
class ModbusLibrary : public ModbusBackend
{
public:
    // What a handle points to.
    struct Link;

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

    // The one exchange of a request PDU (function code first, 1 to 253
    // bytes) with the context's unit: sent with modbus_send_raw_request,
    // the whole confirmation ADU received into replyAdu (room for
    // MODBUS_MAX_ADU_LENGTH bytes), its PDU at headerLength(ctx), followed
    // by the CRC on RTU. Checks what every reply shares: the unit (RTU), the
    // protocol id (TCP), and the function code; an exception reply becomes
    // its error. Returns the reply ADU's length, or -1 with lastError() set;
    // a failure may leave a partial reply in replyAdu.
    int exchange(ModbusHandle ctx, const uint8_t *pdu, int length, uint8_t *replyAdu);
    // 7 on TCP (the MBAP header), 1 on RTU (the unit); 0 without a context.
    static int headerLength(ModbusHandle ctx);

private:
    int exchangeRtuStream(Link *link, const uint8_t *pdu, int length, uint8_t *replyAdu);
    int receive(struct _modbus *mb, uint8_t function, uint8_t *replyAdu);
    int checkReply(ModbusHandle ctx, uint8_t function, const uint8_t *reply, int length);
    // One frame into the traffic ring; t is the capture time unless given.
    void capture(TrafficDirection dir, quint8 unit, quint8 function, TrafficResult result, quint8 exceptionCode,
                 qint64 rttUs, const uint8_t *bytes, int length, qint64 t = -1);
    void count(BusOutcome outcome, qint64 rttUs = 0, quint8 exceptionCode = 0);
    // A read of nb values with the given reply byte count; returns where the
    // data starts in reply.
    int readBlock(ModbusHandle ctx, uint8_t function, int addr, int nb, int limit, int byteCount, uint8_t *reply);
    int readWords(ModbusHandle ctx, uint8_t function, int addr, int nb, bool wide, uint16_t *dest);
    int readBitBlock(ModbusHandle ctx, uint8_t function, int addr, int nb, uint8_t *dest);
    // A write answered by an echo of echoLength bytes after the function
    // code, the first `same` of them as sent; returns the echoed word after
    // the address (the value or the count).
    int writeEchoed(ModbusHandle ctx, const uint8_t *pdu, int length, int echoLength, int same);
    int fail(int errnum);
    int keepError(int rc);

    QStringList m_extraPorts;
    int m_lastError = 0;
    int m_lastException = 0;
    TrafficLog *m_traffic = nullptr;
    BusStats *m_stats = nullptr;
};

#endif // MODBUSLIBRARY_H
