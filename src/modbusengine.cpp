#include "modbusengine.h"

ModbusEngine::ModbusEngine(QObject *parent) : QObject(parent) {}
ModbusEngine::~ModbusEngine() = default;

QByteArray ModbusEngine::getPortSettings() { return QByteArray(); }
QByteArray ModbusEngine::connectPort(t_GetArray &) { return QByteArray("{\"error\":\"Input parameters error!\"}"); }
QByteArray ModbusEngine::disconnectPort() { return QByteArray("{\"ok\":\"Disconnected\"}"); }
QByteArray ModbusEngine::readRegisters(t_GetArray &, unsigned int) { return QByteArray("{\"error\":\"Not connected\"}"); }
QByteArray ModbusEngine::writeRegisters(t_GetArray &, unsigned int) { return QByteArray("{\"error\":\"Not connected\"}"); }
QByteArray ModbusEngine::identifySlave(unsigned int) { return QByteArray("{\"error\":\"Not connected\"}"); }
