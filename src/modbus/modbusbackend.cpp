#include "modbusbackend.h"

ModbusBackend::~ModbusBackend() = default;

int ModbusBackend::requestLimit(ModbusTable table, bool write, int wordSize) const
{
    switch (table) {
    case ModbusTable::Coils:
    case ModbusTable::DiscreteInputs: return write ? maxWriteBits : maxReadBits;
    case ModbusTable::InputRegisters:
    case ModbusTable::HoldingRegisters: break;
    }
    if (wordSize == 32)
        return write ? maxWrite32 : maxRead32;
    return write ? maxWriteRegisters : maxReadRegisters;
}

void ModbusBackend::modbus_flush(ModbusHandle)
{}

ModbusHandle ModbusBackend::modbus_new_rtu_tcp(const char *, int)
{
    return nullptr;
}

void ModbusBackend::setMonitor(TrafficLog *, BusStats *)
{}

int ModbusBackend::lastExceptionCode() const
{
    return 0;
}
