#ifndef MODBUSFIXTURES_H
#define MODBUSFIXTURES_H

// What the Modbus tests share: the engine's reply texts, connect and transfer
// requests, the peers' register presets, modbus-sim's register map, the
// refused requests every layer must answer the same way, and the programs
// the tests talk to (a pty pair, the pymodbus peer, modbus-sim).

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QUrl>

#include "childprocess.h"
#include "tgetarray.h"

namespace modbusfix {

// The engine's replies, byte for byte.
namespace reply {
const QByteArray notConnected = "{\"error\":\"Not connected\"}";
const QByteArray inputError = "{\"error\":\"Input parameters error!\"}";
const QByteArray tooManyRegisters = "{\"error\":\"Too many registers\"}";
const QByteArray timeout = "{\"error\":\"I/O error: did not receive any data from slave.\"}";
const QByteArray socketError = "{\"error\":\"Unable to connect with TCP socket.\"}";
const QByteArray mismatch = "{\"error\":\"Number of registers returned does not match!\"}";
const QByteArray invalidPort = "{\"error\":\"Invalid port!\"}";
const QByteArray disconnected = "{\"ok\":\"Disconnected\"}";
const QByteArray serialConnected = "{\"ok\":\"Connected with serial port.\"}";
const QByteArray tcpConnected = "{\"ok\":\"Connected with Modbus TCP.\"}";
const QByteArray serialFailed = "{\"error\":\"Could not connect to serial port!\"}";
const QByteArray tcpFailed = "{\"error\":\"Could not connect to Modbus TCP!\"}";
const QByteArray portNotFound = "{\"error\":\"Selected serial port not found.\"}";
const QByteArray baudError = "{\"error\":\"Baud rate error!\"}";
const QByteArray sent = "{\"ok\":\"Values successfully sent.\"}";
const QByteArray registerSize = "{\"error\":\"Invalid registers size!\"}";
const QByteArray valueSize = "{\"error\":\"Invalid value size!\"}";
const QByteArray oneValueSize = "{\"error\":\"Invalid one value size!\"}";
const QByteArray floatPrecision = "{\"error\":\"Invalid float precision!\"}";
const QByteArray valuesError = "{\"error\":\"Registers values error!\"}";
const QByteArray unknownError = "{\"error\":\"Unknown error!\"}";
} // namespace reply

// connect over TCP to 127.0.0.1.
inline t_GetArray tcpConnect(int port, int timeout = 100, const QByteArray &slaveID = "1")
{
    t_GetArray p;
    p.insert("func", "connect");
    p.insert("connType", "tcp");
    p.insert("ipAddres_tcp", "127.0.0.1");
    p.insert("slaveID", slaveID);
    p.insert("port_tcp", QByteArray::number(port));
    p.insert("timeout", QByteArray::number(timeout));
    return p;
}

// connect over a serial line; by default 115200 baud (7), 8N1 (3), 1 s reply time-out.
inline t_GetArray serialConnect(const QString &portSelect, const QByteArray &slaveID = "1",
                                const QByteArray &baudRate = "7", const QByteArray &mode = "3",
                                const QByteArray &timeout = "100")
{
    t_GetArray p;
    p.insert("func", "connect");
    p.insert("connType", "serial");
    p.insert("portSelect", portSelect.toUtf8());
    p.insert("slaveID", slaveID);
    p.insert("baudRate", baudRate);
    p.insert("mode", mode);
    p.insert("timeout", timeout);
    return p;
}

// A read (or, with regVals, write) request; absent sizes and precision stay out.
inline t_GetArray transfer(int addr, int count, const QByteArray &regType = QByteArray(), int regSize = 0,
                           int valSize = 0, int floatPrec = -100)
{
    t_GetArray p;
    p.insert("regAddr", QByteArray::number(addr));
    p.insert("valuesCnt", QByteArray::number(count));
    if (!regType.isNull())
        p.insert("regType", regType);
    if (regSize)
        p.insert("regSize", QByteArray::number(regSize));
    if (valSize)
        p.insert("valSize", QByteArray::number(valSize));
    if (floatPrec != -100)
        p.insert("floatPrec", QByteArray::number(floatPrec));
    return p;
}

inline t_GetArray withValues(t_GetArray p, const QByteArray &regVals)
{
    p.insert("regVals", regVals);
    return p;
}

// The same parameters as the query of an ajax.html request.
inline QByteArray ajaxQuery(const QByteArray &func, const t_GetArray &params)
{
    QByteArray query = "func=" + func;
    for (auto it = params.cbegin(); it != params.cend(); ++it) {
        if (it.key() != "func")
            query += '&' + it.key() + '=' + QUrl::toPercentEncoding(QString::fromUtf8(it.value()));
    }
    return query;
}

// A request every layer refuses before the bus, with the engine's reply.
struct RefusedRequest
{
    const char *name;
    bool write;
    t_GetArray params;
    QByteArray reply;
};

// Where the refused writes would land: tests read it back as 0.
const int refusedAddress = 500;

inline QList<RefusedRequest> refusedRequests()
{
    t_GetArray noAddr = transfer(refusedAddress, 1);
    noAddr.remove("regAddr");
    t_GetArray noCount = transfer(refusedAddress, 1);
    noCount.remove("valuesCnt");
    return {
            {"no regAddr", false, noAddr, reply::inputError},
            {"no valuesCnt", false, noCount, reply::inputError},
            {"no regVals", true, transfer(refusedAddress, 1), reply::inputError},
            {"0 values", false, transfer(refusedAddress, 0), reply::inputError},
            {"-5 values", false, transfer(refusedAddress, -5), reply::inputError},
            {"count beyond 32 bits", false,
             [] {
                 t_GetArray p = transfer(refusedAddress, 1);
                 p.insert("valuesCnt", "4294967297");
                 return p;
             }(),
             reply::inputError},
            {"201 values", false, transfer(refusedAddress, 201), reply::tooManyRegisters},
            {"write 201 values", true, withValues(transfer(refusedAddress, 201), "[1]"), reply::tooManyRegisters},
            {"write 0 values", true, withValues(transfer(refusedAddress, 0), "[]"), reply::inputError},
            {"regSize 24 before valSize", false, transfer(refusedAddress, 1, "int", 24, 8), reply::registerSize},
            {"write regSize 24", true, withValues(transfer(refusedAddress, 1, QByteArray(), 24), "[1]"),
             reply::registerSize},
            {"valSize 24", false, transfer(refusedAddress, 1, "int", 16, 24), reply::valueSize},
            {"write valSize 64 on 32-bit registers", true,
             withValues(transfer(refusedAddress, 1, QByteArray(), 32, 64), "[1]"), reply::valueSize},
            {"floatPrec 21", false, transfer(refusedAddress, 1, "float4321", 16, 32, 21), reply::floatPrecision},
            {"floatPrec -1", false, transfer(refusedAddress, 1, QByteArray(), 0, 0, -1), reply::floatPrecision},
            {"regSize 32 alone", false, transfer(refusedAddress, 1, QByteArray(), 32), reply::oneValueSize},
            {"write regSize 32 alone", true, withValues(transfer(refusedAddress, 1, QByteArray(), 32), "[1]"),
             reply::oneValueSize},
            {"float on 16-bit values", false, transfer(refusedAddress, 2, "float1234"), reply::oneValueSize},
            {"long on 16-bit values", false, transfer(refusedAddress, 2, "long"), reply::oneValueSize},
            {"write float on 16-bit values", true, withValues(transfer(refusedAddress, 1, "float4321"), "[1.5]"),
             reply::oneValueSize},
            {"values length", true, withValues(transfer(refusedAddress, 3), "[1,2]"), reply::valuesError},
            {"not an array", true, withValues(transfer(refusedAddress, 1), "5"), reply::valuesError},
            {"does not parse", true, withValues(transfer(refusedAddress, 1), "[1,"), reply::valuesError},
            {"script loop", true, withValues(transfer(refusedAddress, 1), "[(function(){while(1){}})()]"),
             reply::valuesError},
            {"script assignment", true, withValues(transfer(refusedAddress, 1), "[this.x=1]"), reply::valuesError},
    };
}

// Holding registers the pymodbus peer starts with (addresses from 0).
const char *const peerPresets = "0=0xFFFF,1=0x4148,2=0,3=0,4=0x4148,5=0x4CBE,6=0xBC20,7=0x4D3E,8=0xBC20,9=1,10=2,"
                                "11=0xFFFE,12=0xFFFF,13=12,14=0xFFFB,15=300,16=0x42F6,17=0xE9E0,18=0x4996,19=0xB438,"
                                "20=0,21=0x3F00";
// Its report-slave-id data: 05 FF "Meter-01" "/" "\"" (the peer adds its run byte 0xFF).
const char *const peerSlaveIdHex = "05FF4D657465722D30312F22";
const QByteArray peerIdentity = "{\"id\":5,\"desc\":\"Meter-01\\/\\\"\",\"descArray\":"
                                "[5,255,77,101,116,101,114,45,48,49,47,34,255]}";

// modbus-sim's register map (see src/sim/modbussim.cpp).
namespace sim {
const int counter16 = 0; // seconds counter
const int fixed16 = 1; // 1234
const int float4321At16 = 2; // 12.5 in registers 2-3
const int int32At16 = 6; // -100000 in registers 6-7
const int wideFloat4321 = 5001; // 32-bit: 12.5 as float4321
const int wideNumber = 5002; // 32-bit: 123456789
const int wideAllOnes = 5003; // 32-bit: 0xFFFFFFFF
const int wideFree = 5100; // 32-bit registers free for writing from here
// Input registers hold their address, except the typed block (ABCD), which
// the pymodbus peer has too. Coil i starts on when i is odd; discrete input
// i is on when i is a multiple of 3.
const int inputFloat = 100; // 12.5
const int inputInt32 = 102; // -100000
const int inputInt64 = 104; // 0x0102030405060708
const int inputDouble = 108; // 3.141592653589793
const int inputAscii = 112; // "Brio modbus-sim", 8 registers
const QByteArray identity = "{\"id\":66,\"desc\":\"Brio modbus-sim\",\"descArray\":"
                            "[66,255,66,114,105,111,32,109,111,100,98,117,115,45,115,105,109]}";
} // namespace sim

const QString python = QStringLiteral("/usr/bin/python3");
const QString peerScript = QStringLiteral(BRIO_SOURCE_DIR "/tests/support/peers/pymodbus_slave.py");
const QString simProgram = QStringLiteral(BRIO_APP_DIR "/modbus-sim");

// Two linked ptys, named a and b in a directory of their own, stopped with the object.
class PtyPair
{
public:
    bool start()
    {
        if (!dir.isValid())
            return false;
        socat.process.setProcessChannelMode(QProcess::MergedChannels);
        return socat.start(QStringLiteral("socat"),
                           {"-d", "-d", "pty,raw,echo=0,link=" + a(), "pty,raw,echo=0,link=" + b()},
                           "starting data transfer loop");
    }
    QString a() const { return dir.filePath(QStringLiteral("a")); }
    QString b() const { return dir.filePath(QStringLiteral("b")); }
    QString filePath(const QString &name) const { return dir.filePath(name); }

    QTemporaryDir dir;
    Child socat;
};

// The pymodbus peer with the presets above: on TCP (port read back) or on a serial device.
inline int startTcpPeer(Child &peer, const QStringList &extra = {"--set", peerPresets, "--slave-id", peerSlaveIdHex})
{
    if (!peer.start(python, QStringList{peerScript, "--tcp", "127.0.0.1:0"} + extra, "ready"))
        return 0;
    return peer.number(QStringLiteral("port (\\d+)"));
}

inline bool startSerialPeer(Child &peer, const QString &device)
{
    return peer.start(
            python,
            {peerScript, "--serial", device, "--baud", "115200", "--set", peerPresets, "--slave-id", peerSlaveIdHex},
            "ready");
}

// modbus-sim on a free loopback port; returns the port, 0 on failure.
inline int startSim(Child &sim, const QStringList &extra = {})
{
    if (!sim.start(simProgram, QStringList{"--host", "127.0.0.1", "--port", "0", "--quiet"} + extra, "listening on"))
        return 0;
    while (!sim.output.contains('\n') && sim.process.waitForReadyRead(1000))
        sim.output += sim.process.readAllStandardOutput();
    return sim.number(QStringLiteral("listening on 127\\.0\\.0\\.1:(\\d+)"));
}

} // namespace modbusfix

#endif // MODBUSFIXTURES_H
