#include "modbusapi.h"

#include "jsontext.h"
#include "modbusengine.h"
#include "registercodec.h"
#include "regvalsparser.h"
#include "serialline.h"

#include <QSettings>

namespace {

const char ERR_NOT_CONNECTED[] = "{\"error\":\"Not connected\"}";
const char ERR_INPUT_PARAMS[] = "{\"error\":\"Input parameters error!\"}";
const char ERR_TOO_MANY_REGS[] = "{\"error\":\"Too many registers\"}";
const char ERR_TIMEOUT[] = "{\"error\":\"I/O error: did not receive any data from slave.\"}";
const char ERR_SOCKET_CONN[] = "{\"error\":\"Unable to connect with TCP socket.\"}";
const char ERR_REG_NUMB_NO_MATCH[] = "{\"error\":\"Number of registers returned does not match!\"}";
const char ERR_INVALID_COM[] = "{\"error\":\"Invalid port!\"}";

const int maxValues = 200;

// Request numbers: decimal, anything else counts as 0.
int toNumber(const QByteArray &text)
{
    bool ok = false;
    const int value = text.trimmed().toInt(&ok);
    return ok ? value : 0;
}

// Unit addresses and line modes are remembered as 16-bit numbers.
int cut16(int value)
{
    return static_cast<qint16>(value);
}

// A register read or write as the request describes it.
struct RegisterTransfer
{
    TransferRequest request;
    int valuesCnt = 0;
    QString regType = QStringLiteral("int");
    int regSize = 16;
    int valSize = 16;
    int floatPrec = 2;
};

// The checks reads and writes share, in their order.
ModbusError parseTransfer(const t_GetArray &params, CodecDirection direction, RegisterTransfer *t)
{
    const bool reading = direction == CodecDirection::Read;
    if (!params.contains("regAddr") || !params.contains("valuesCnt") || (!reading && !params.contains("regVals")))
        return ModbusError::InvalidRequest;
    t->valuesCnt = toNumber(params.value("valuesCnt"));
    if (params.contains("regType"))
        t->regType = QString::fromUtf8(params.value("regType"));
    if (params.contains("regSize")) {
        t->regSize = toNumber(params.value("regSize"));
        if (t->regSize != 32 && t->regSize != 16)
            return ModbusError::RegisterSize;
    }
    if (params.contains("valSize")) {
        t->valSize = toNumber(params.value("valSize"));
        if (t->valSize != 32 && t->valSize != 16)
            return ModbusError::ValueSize;
    }
    if (reading && params.contains("floatPrec")) {
        t->floatPrec = toNumber(params.value("floatPrec"));
        if (static_cast<unsigned int>(t->floatPrec) > 20)
            return ModbusError::FloatPrecision;
    }
    if ((t->valSize == 16 && t->regSize == 32) || needsWholeWords(t->regType, t->regSize, t->valSize, direction))
        return ModbusError::ValueLayout;
    if (t->valuesCnt > maxValues)
        return ModbusError::TooManyValues;
    if (t->valuesCnt <= 0)
        return ModbusError::InvalidRequest;
    t->request.address = toNumber(params.value("regAddr"));
    // Worked out only now, so a huge count cannot overflow.
    t->request.count = registerCount(t->valuesCnt, t->regSize, t->valSize);
    t->request.wordSize = t->regSize;
    return ModbusError::None;
}

ModbusError encodeValues(const QByteArray &regVals, RegisterTransfer *t)
{
    QVector<RegValsElement> values;
    if (!parseRegVals(QString::fromUtf8(percentDecodedAgain(regVals)), &values) || values.size() != t->valuesCnt)
        return ModbusError::ValueList;
    if (!encodeRegisters(values, t->regType, t->regSize, t->valSize, &t->request.words))
        return ModbusError::ValueLayout;
    return ModbusError::None;
}

// Stored numbers go into the reply bare, so only a number may go there.
QByteArray storedNumber(const QSettings &settings, const QString &key, qint64 fallback)
{
    const QVariant value = settings.value(key);
    if (value.isValid()) {
        bool ok = false;
        const qint64 number = value.toString().trimmed().toLongLong(&ok);
        if (ok)
            return QByteArray::number(number);
    }
    return QByteArray::number(fallback);
}

// Port names and stored texts as the report has always written them, "/" as "\/".
QByteArray reportText(const QString &text)
{
    return jsonEscape(text.toLatin1(), JsonSlash::Escape);
}

} // namespace

QByteArray modbusErrorReply(ModbusError error, const QString &libraryText)
{
    switch (error) {
    case ModbusError::None: return QByteArray();
    case ModbusError::InvalidRequest:
    case ModbusError::UnitRefused: return ERR_INPUT_PARAMS;
    case ModbusError::TooManyValues: return ERR_TOO_MANY_REGS;
    case ModbusError::RegisterSize: return "{\"error\":\"Invalid registers size!\"}";
    case ModbusError::ValueSize: return "{\"error\":\"Invalid value size!\"}";
    case ModbusError::ValueLayout: return "{\"error\":\"Invalid one value size!\"}";
    case ModbusError::FloatPrecision: return "{\"error\":\"Invalid float precision!\"}";
    case ModbusError::ValueList: return "{\"error\":\"Registers values error!\"}";
    case ModbusError::NotConnected: return ERR_NOT_CONNECTED;
    case ModbusError::PortNotFound: return "{\"error\":\"Selected serial port not found.\"}";
    case ModbusError::PrinterPort: return ERR_INVALID_COM;
    case ModbusError::BaudRate: return "{\"error\":\"Baud rate error!\"}";
    case ModbusError::SerialOpenFailed: return "{\"error\":\"Could not connect to serial port!\"}";
    case ModbusError::TcpConnectFailed: return "{\"error\":\"Could not connect to Modbus TCP!\"}";
    case ModbusError::HostUnreachable: return ERR_SOCKET_CONN;
    case ModbusError::NoReply: return ERR_TIMEOUT;
    case ModbusError::ProtocolFault:
        return "{\"error\":\"Protocol error! " + jsonEscape(libraryText.toLatin1()) + "\"}";
    case ModbusError::CountMismatch: return ERR_REG_NUMB_NO_MATCH;
    case ModbusError::ReportLength: return "{\"error\":\"Unknown error!\"}";
    }
    return QByteArray();
}

ModbusApi::ModbusApi(ModbusEngine &engine) : engine(engine)
{}

QByteArray ModbusApi::failure(const ModbusOutcome &outcome)
{
    const bool fault = outcome.error == ModbusError::ProtocolFault;
    return modbusErrorReply(outcome.error, fault ? engine.libraryErrorText(outcome.libraryErrno) : QString());
}

QByteArray ModbusApi::disconnectPort()
{
    engine.disconnectPort();
    return QByteArray("{\"ok\":\"Disconnected\"}");
}

QByteArray ModbusApi::connectPort(const t_GetArray &params)
{
    if (!params.contains("connType"))
        return modbusErrorReply(ModbusError::InvalidRequest);
    if (params.value("connType") == "serial")
        return connectSerial(params);
    return connectWitchTCP(params);
}

QByteArray ModbusApi::connectSerial(const t_GetArray &params)
{
    // Intended: every parameter counts here, func and connType included; the
    // named checks below would give the same reply.
    if (params.size() <= 5)
        return modbusErrorReply(ModbusError::InvalidRequest);
    if (!params.contains("portSelect") || !params.contains("slaveID") || !params.contains("baudRate")
        || !params.contains("mode") || !params.contains("timeout"))
        return modbusErrorReply(ModbusError::InvalidRequest);
    const QString portSelect = QString::fromUtf8(params.value("portSelect"));
    if (portSelect.isEmpty())
        return modbusErrorReply(ModbusError::InvalidRequest);

    const int slaveID = toNumber(params.value("slaveID"));
    const int baudRate = toNumber(params.value("baudRate"));
    const int mode = toNumber(params.value("mode"));
    const int timeout = toNumber(params.value("timeout"));

    QSettings settings;
    // Intended: the firmware updater wants the number of a COMn name, so the
    // first three characters go whatever the name is.
    settings.setValue(QStringLiteral("Selected_Port"), portSelect.mid(3));

    SerialLink link;
    link.port = portSelect;
    link.baud = baudRateForIndex(baudRate);
    const LineMode line = lineModeFor(static_cast<qint16>(mode));
    link.parity = line.parity;
    link.stopBits = line.stopBits;
    link.unit = cut16(slaveID);
    link.timeout = timeout;
    const ModbusOutcome outcome = engine.connectSerial(link);
    if (!outcome.ok())
        return failure(outcome);

    // Remembered for the port report, the firmware updater and the next start.
    settings.setValue(QStringLiteral("portName"), portSelect);
    settings.setValue(QStringLiteral("slaveID"), cut16(slaveID));
    settings.setValue(QStringLiteral("baudRate"), baudRate);
    settings.setValue(QStringLiteral("mode"), cut16(mode));
    settings.setValue(QStringLiteral("timeout"), timeout);
    return QByteArray("{\"ok\":\"Connected with serial port.\"}");
}

QByteArray ModbusApi::connectWitchTCP(const t_GetArray &params)
{
    if (!params.contains("ipAddres_tcp") || !params.contains("slaveID") || !params.contains("port_tcp")
        || !params.contains("timeout"))
        return modbusErrorReply(ModbusError::InvalidRequest);

    TcpLink link;
    link.host = QString::fromUtf8(params.value("ipAddres_tcp"));
    link.port = toNumber(params.value("port_tcp"));
    link.unit = cut16(toNumber(params.value("slaveID")));
    link.timeout = toNumber(params.value("timeout"));

    QSettings settings;
    settings.setValue(QStringLiteral("tcpIp"), link.host);
    settings.setValue(QStringLiteral("slaveID"), link.unit);
    settings.setValue(QStringLiteral("tcpPort"), link.port);
    settings.setValue(QStringLiteral("timeout"), link.timeout);

    const ModbusOutcome outcome = engine.connectTcp(link);
    if (!outcome.ok())
        return failure(outcome);
    return QByteArray("{\"ok\":\"Connected with Modbus TCP.\"}");
}

QByteArray ModbusApi::readRegisters(const t_GetArray &params)
{
    RegisterTransfer t;
    const ModbusError refused = parseTransfer(params, CodecDirection::Read, &t);
    if (refused != ModbusError::None)
        return modbusErrorReply(engine.refuse(ModbusEngine::Access::Read, refused));

    const ModbusWords read = engine.read(t.request);
    if (!read.ok())
        return failure(read);
    const QByteArray values = decodeRegisters(read.words, t.valuesCnt, t.regType, t.regSize, t.valSize, t.floatPrec);
    if (values.isEmpty())
        return modbusErrorReply(ModbusError::ValueLayout);
    return values;
}

QByteArray ModbusApi::writeRegisters(const t_GetArray &params)
{
    RegisterTransfer t;
    ModbusError refused = parseTransfer(params, CodecDirection::Write, &t);
    if (refused == ModbusError::None)
        refused = encodeValues(params.value("regVals"), &t);
    if (refused != ModbusError::None)
        return modbusErrorReply(engine.refuse(ModbusEngine::Access::Write, refused));

    const ModbusOutcome written = engine.write(t.request);
    if (!written.ok())
        return failure(written);
    return QByteArray("{\"ok\":\"Values successfully sent.\"}");
}

QByteArray ModbusApi::identifySlave()
{
    const ModbusBytes report = engine.reportSlaveId();
    if (!report.ok())
        return failure(report);

    const QByteArray &data = report.bytes;
    const unsigned int id = static_cast<uint8_t>(data.at(0));
    // Read by the general information and the firmware updater.
    QSettings().setValue(QStringLiteral("Tavik_ID"), QString::number(id));

    QByteArray desc;
    for (int i = 2; i < data.size(); ++i) {
        const uint8_t byte = static_cast<uint8_t>(data.at(i));
        if (byte >= 32 && byte <= 125)
            desc += jsonEscapeChar(static_cast<char>(byte), JsonSlash::Escape);
    }
    QByteArray bytes;
    for (int i = 0; i < data.size(); ++i) {
        if (i > 0)
            bytes += ',';
        bytes += QByteArray::number(static_cast<uint8_t>(data.at(i)));
    }
    return QByteArray("{\"id\":") + QByteArray::number(id) + ",\"desc\":\"" + desc + "\",\"descArray\":[" + bytes
            + "]}";
}

QByteArray ModbusApi::getPortSettings()
{
    QByteArray reply("{\"ports\":{");
    const QList<QextPortInfo> ports = engine.ports();
    const int portCount = static_cast<qint16>(ports.size());
    for (int i = 0; i < portCount; ++i) {
        QString name = ports.at(i).portName;
        // Intended: a device path (\\.\COM10) shows its last five characters
        // only, so a four-character name keeps a backslash in front.
        if (name.contains(QLatin1String("\\.")))
            name = name.right(5);
        if (i > 0)
            reply += ',';
        reply += '"' + QByteArray::number(i) + "\":{\"portName\":\"" + reportText(name) + "\",\"friendName\":\""
                + reportText(ports.at(i).friendName) + "\"}";
    }
    reply += "},\"baudRate\":{";
    for (int i = 0; i < baudRateSlots; ++i) {
        if (i > 0)
            reply += ',';
        reply += '"' + QByteArray::number(i) + "\":\"" + baudRateLabel(i) + '"';
    }
    reply += "},\"mode\":{";
    for (int i = 0; i < lineModeCount; ++i) {
        if (i > 0)
            reply += ',';
        reply += '"' + QByteArray::number(i) + "\":\"" + lineModeLabel(i) + '"';
    }

    const QSettings settings;
    reply += "},\"userSettings\":{\"port\":\"" + reportText(settings.value(QStringLiteral("portName"), 0).toString())
            + "\",\"slaveID\":" + storedNumber(settings, QStringLiteral("slaveID"), 1)
            + ",\"baudRate\":" + storedNumber(settings, QStringLiteral("baudRate"), 0)
            + ",\"mode\":" + storedNumber(settings, QStringLiteral("mode"), 3)
            + ",\"timeout\":" + storedNumber(settings, QStringLiteral("timeout"), 200000) + ",\"tcpIp\":\""
            + reportText(settings.value(QStringLiteral("tcpIp"), QStringLiteral("192.168.1.100")).toString())
            + "\",\"tcpPort\":" + storedNumber(settings, QStringLiteral("tcpPort"), 502) + ",\"connectionType\":\""
            + (engine.getConnectionType() == ConnectionType::Serial ? "serial" : "tcp")
            + "\",\"isConnected\":" + (engine.isConnected() ? "true" : "false") + "}}";
    return reply;
}
