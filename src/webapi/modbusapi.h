#ifndef MODBUSAPI_H
#define MODBUSAPI_H

#include <QByteArray>
#include <QString>
#include "modbustypes.h"
#include "tgetarray.h"

class ModbusEngine;

// The Modbus functions of the AJAX interface: request parameters in, the
// master's typed calls, reply texts out. The caller holds modbusLock.
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

private:
    QByteArray connectSerial(const t_GetArray &params);
    QByteArray connectWitchTCP(const t_GetArray &params);
    QByteArray failure(const ModbusOutcome &outcome);

    ModbusEngine &engine;
};

// The reply of every Modbus failure; libraryText is the library's own
// text of a protocol fault.
QByteArray modbusErrorReply(ModbusError error, const QString &libraryText = QString());

#endif // MODBUSAPI_H
