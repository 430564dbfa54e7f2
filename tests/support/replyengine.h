#ifndef REPLYENGINE_H
#define REPLYENGINE_H

#include "modbusapi.h"
#include "modbusengine.h"

// The engine answering in reply texts, as the router serves it.
class ReplyEngine : public ModbusEngine
{
public:
    explicit ReplyEngine(ModbusBackend *backend = nullptr) : ModbusEngine(backend), api(*this) {}

    QByteArray getPortSettings() { return api.getPortSettings(); }
    QByteArray connectPort(const t_GetArray &params) { return api.connectPort(params); }
    QByteArray disconnectPort() { return api.disconnectPort(); }
    QByteArray readRegisters(const t_GetArray &params) { return api.readRegisters(params); }
    QByteArray writeRegisters(const t_GetArray &params) { return api.writeRegisters(params); }
    QByteArray identifySlave() { return api.identifySlave(); }
    QByteArray readBits(const t_GetArray &params) { return api.readBits(params); }
    QByteArray writeBits(const t_GetArray &params) { return api.writeBits(params); }
    QByteArray maskWriteRegister(const t_GetArray &params) { return api.maskWriteRegister(params); }
    QByteArray readDeviceIdentification(const t_GetArray &params) { return api.readDeviceIdentification(params); }
    // A register or bit function by its name; readRegisters for any other.
    QByteArray call(const QByteArray &func, const t_GetArray &p)
    {
        if (func == "readBits")
            return readBits(p);
        if (func == "writeBits")
            return writeBits(p);
        if (func == "maskWriteRegister")
            return maskWriteRegister(p);
        if (func == "readDeviceIdentification")
            return readDeviceIdentification(p);
        if (func == "writeRegisters")
            return writeRegisters(p);
        return readRegisters(p);
    }

private:
    ModbusApi api;
};

#endif // REPLYENGINE_H
