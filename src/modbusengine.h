#ifndef MODBUSENGINE_H
#define MODBUSENGINE_H

#include <QObject>
#include <QByteArray>
#include "tgetarray.h"

// The Modbus master. No lock of its own: the router runs one call at a time.
class ModbusEngine : public QObject
{
    Q_OBJECT
public:
    explicit ModbusEngine(QObject *parent = nullptr);
    ~ModbusEngine() override;

    QByteArray getPortSettings();
    QByteArray connectPort(t_GetArray &params);
    QByteArray disconnectPort();
    QByteArray readRegisters(t_GetArray &params, unsigned int attempt);
    QByteArray writeRegisters(t_GetArray &params, unsigned int attempt);
    QByteArray identifySlave(unsigned int attempt);

private:
    // the engine's own members
};

#endif // MODBUSENGINE_H
