#include "modbusbackend.h"

ModbusBackend::~ModbusBackend() = default;
