#ifndef MODBUSAPI_H
#define MODBUSAPI_H

#include <QByteArray>
#include <QString>
#include <functional>
#include "busscanner.h"
#include "modbustypes.h"
#include "tgetarray.h"

class ModbusEngine;

// The Modbus functions of the AJAX interface: request parameters in, the
// master's typed calls, reply texts out. The caller holds modbusLock for
// the transfers; the traffic, statistics and scan functions need no lock.
class ModbusApi
{
public:
    explicit ModbusApi(ModbusEngine &engine);

    QByteArray getPortSettings();
    QByteArray connectPort(const t_GetArray &params);
    QByteArray disconnectPort();
    QByteArray readRegisters(const t_GetArray &params);
    QByteArray writeRegisters(const t_GetArray &params);
    QByteArray identifySlave();
    QByteArray readBits(const t_GetArray &params);
    QByteArray writeBits(const t_GetArray &params);
    QByteArray maskWriteRegister(const t_GetArray &params);
    QByteArray readDeviceIdentification(const t_GetArray &params);

    QByteArray getTraffic(const t_GetArray &params);
    QByteArray clearTraffic();
    QByteArray getStats();
    QByteArray resetStats();
    // Claims the scanner for the request's plan and calls launch, which must
    // see runScan() and then finishScan() called on a thread of its own.
    QByteArray startScan(const t_GetArray &params, const std::function<void()> &launch);
    QByteArray getScanStatus();
    QByteArray stopScan();
    bool scanRunning() const { return scanner.isRunning(); }
    // The scan's probes, with the bus (modbusLock) held: the link in place
    // is put aside first and restored after.
    void runScan();
    void finishScan();

private:
    QByteArray connectSerial(const t_GetArray &params);
    QByteArray connectWitchTCP(const t_GetArray &params);
    QByteArray connectRtuOverTcp(const t_GetArray &params);
    QByteArray failure(const ModbusOutcome &outcome);

    ModbusEngine &engine;
    BusScanner scanner;
};

// The reply of every Modbus failure; libraryText is the library's own
// text of a protocol fault.
QByteArray modbusErrorReply(ModbusError error, const QString &libraryText = QString());

#endif // MODBUSAPI_H
