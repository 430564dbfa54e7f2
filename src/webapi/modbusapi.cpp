#include "modbusapi.h"

#include "bitlist.h"
#include "deviceidentification.h"
#include "jsontext.h"
#include "modbusengine.h"
#include "registercodec.h"
#include "regvalsparser.h"
#include "scanrequest.h"
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

// The most bits readBits and writeBits take.
const int maxBitsRead = 2000;
const int maxBitsWritten = 1968;

// A register read or write as the request describes it.
struct RegisterTransfer
{
    TransferRequest request;
    int valuesCnt = 0;
    ValueFormat format;
};

// Where today's replies hold, the new type names keep their old meaning:
// float at 16 bits, and ascii and hex at other than 16 bits, read and write
// plain 16-bit words as any unknown type name always has.
ValueType typeAsAnswered(const ValueFormat &f)
{
    if ((f.type == ValueType::Float && f.valSize == 16)
        || ((f.type == ValueType::Ascii || f.type == ValueType::Hex) && f.valSize != 16))
        return ValueType::Plain;
    return f.type;
}

ModbusError formatError(FormatCheck check)
{
    switch (check) {
    case FormatCheck::Ok: break;
    case FormatCheck::RegisterSize: return ModbusError::RegisterSize;
    case FormatCheck::ValueSize: return ModbusError::ValueSize;
    case FormatCheck::FloatPrecision: return ModbusError::FloatPrecision;
    case FormatCheck::OneValueSize: return ModbusError::ValueLayout;
    case FormatCheck::ByteOrderName: return ModbusError::InvalidRequest;
    }
    return ModbusError::None;
}

// The checks reads and writes share, in their order.
ModbusError parseTransfer(const t_GetArray &params, CodecDirection direction, RegisterTransfer *t)
{
    const bool reading = direction == CodecDirection::Read;
    if (!params.contains("regAddr") || !params.contains("valuesCnt") || (!reading && !params.contains("regVals")))
        return ModbusError::InvalidRequest;
    if (reading && params.contains("table")) {
        const QByteArray table = params.value("table");
        if (table == "input")
            t->request.table = ModbusTable::InputRegisters;
        else if (table != "holding")
            return ModbusError::InvalidRequest;
    }
    const QByteArray writeFc = params.value("writeFc", "16");
    if (!reading && writeFc != "16" && writeFc != "6")
        return ModbusError::InvalidRequest;
    t->valuesCnt = toNumber(params.value("valuesCnt"));
    ValueFormat &f = t->format;
    if (params.contains("regType"))
        f.type = valueTypeFromName(QString::fromUtf8(params.value("regType")));
    if (params.contains("regSize"))
        f.regSize = toNumber(params.value("regSize"));
    if (params.contains("valSize"))
        f.valSize = toNumber(params.value("valSize"));
    if (reading && params.contains("floatPrec"))
        f.floatPrec = toNumber(params.value("floatPrec"));
    if (params.contains("byteOrder"))
        f.byteOrder = byteOrderFromName(params.value("byteOrder"));
    f.type = typeAsAnswered(f);
    const ModbusError refused = formatError(checkFormat(f, direction));
    if (refused != ModbusError::None)
        return refused;
    if (t->valuesCnt > maxValues)
        return ModbusError::TooManyValues;
    if (t->valuesCnt <= 0)
        return ModbusError::InvalidRequest;
    // Function 6 writes one 16-bit register at a time.
    t->request.singleWrites = writeFc == "6";
    if (t->request.singleWrites && f.regSize != 16)
        return ModbusError::InvalidRequest;
    t->request.address = toNumber(params.value("regAddr"));
    // Worked out only now, so a huge count cannot overflow.
    t->request.count = registerCount(f, t->valuesCnt);
    t->request.valueSpan = registerCount(f, 1);
    t->request.wordSize = f.regSize;
    return ModbusError::None;
}

ModbusError encodeWords(const QByteArray &regVals, RegisterTransfer *t)
{
    QVector<RegValsElement> values;
    if (!parseRegVals(QString::fromUtf8(percentDecodedAgain(regVals)), &values))
        return ModbusError::ValueList;
    switch (encodeValues(values, t->valuesCnt, t->format, &t->request.words)) {
    case ValuesCheck::Ok: return ModbusError::None;
    case ValuesCheck::ValuesError: return ModbusError::ValueList;
    case ValuesCheck::OneValueSize: break;
    }
    return ModbusError::ValueLayout;
}

// readBits and writeBits: coils or discrete inputs from regAddr on.
ModbusError parseBits(const t_GetArray &params, bool writing, TransferRequest *request)
{
    if (!params.contains("regAddr") || !params.contains("valuesCnt") || (writing && !params.contains("bitVals")))
        return ModbusError::InvalidRequest;
    const QByteArray table = params.value("table", writing ? "coils" : "");
    if (table == "coils")
        request->table = ModbusTable::Coils;
    else if (table == "discrete" && !writing)
        request->table = ModbusTable::DiscreteInputs;
    else
        return ModbusError::InvalidRequest;
    request->count = toNumber(params.value("valuesCnt"));
    if (request->count > (writing ? maxBitsWritten : maxBitsRead))
        return ModbusError::TooManyValues;
    if (request->count < 1)
        return ModbusError::InvalidRequest;
    request->address = toNumber(params.value("regAddr"));
    return ModbusError::None;
}

const char valuesSent[] = "{\"ok\":\"Values successfully sent.\"}";

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

const char *connectionTypeName(ConnectionType type)
{
    switch (type) {
    case ConnectionType::Serial: return "serial";
    case ConnectionType::Tcp: return "tcp";
    case ConnectionType::RtuOverTcp: return "rtuovertcp";
    }
    return "tcp";
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
    case ModbusError::ScanInProgress: return "{\"error\":\"Scan in progress\"}";
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
    if (params.value("connType") == "rtuovertcp")
        return connectRtuOverTcp(params);
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

namespace {

// The TCP parameters of a connect, remembered for the port report and the next start.
bool tcpLinkFrom(const t_GetArray &params, TcpLink *link)
{
    if (!params.contains("ipAddres_tcp") || !params.contains("slaveID") || !params.contains("port_tcp")
        || !params.contains("timeout"))
        return false;
    link->host = QString::fromUtf8(params.value("ipAddres_tcp"));
    link->port = toNumber(params.value("port_tcp"));
    link->unit = cut16(toNumber(params.value("slaveID")));
    link->timeout = toNumber(params.value("timeout"));

    QSettings settings;
    settings.setValue(QStringLiteral("tcpIp"), link->host);
    settings.setValue(QStringLiteral("slaveID"), link->unit);
    settings.setValue(QStringLiteral("tcpPort"), link->port);
    settings.setValue(QStringLiteral("timeout"), link->timeout);
    return true;
}

} // namespace

QByteArray ModbusApi::connectWitchTCP(const t_GetArray &params)
{
    TcpLink link;
    if (!tcpLinkFrom(params, &link))
        return modbusErrorReply(ModbusError::InvalidRequest);
    const ModbusOutcome outcome = engine.connectTcp(link);
    if (!outcome.ok())
        return failure(outcome);
    return QByteArray("{\"ok\":\"Connected with Modbus TCP.\"}");
}

QByteArray ModbusApi::connectRtuOverTcp(const t_GetArray &params)
{
    TcpLink link;
    if (!tcpLinkFrom(params, &link))
        return modbusErrorReply(ModbusError::InvalidRequest);
    const ModbusOutcome outcome = engine.connectRtuOverTcp(link);
    if (!outcome.ok())
        return failure(outcome);
    return QByteArray("{\"ok\":\"Connected with RTU over TCP.\"}");
}

QByteArray ModbusApi::getTraffic(const t_GetArray &params)
{
    quint64 since = 0;
    if (params.contains("since")) {
        const QByteArray text = params.value("since").trimmed();
        bool ok = !text.isEmpty();
        for (char c : text)
            ok = ok && c >= '0' && c <= '9';
        since = ok ? text.toULongLong(&ok) : 0;
        if (!ok)
            return modbusErrorReply(ModbusError::InvalidRequest);
    }
    return trafficJson(engine.traffic().since(since));
}

QByteArray ModbusApi::clearTraffic()
{
    engine.traffic().clear();
    return QByteArray("{\"ok\":\"Cleared\"}");
}

QByteArray ModbusApi::getStats()
{
    return statsJson(engine.stats().snapshot());
}

QByteArray ModbusApi::resetStats()
{
    engine.stats().reset();
    return QByteArray("{\"ok\":\"Cleared\"}");
}

QByteArray ModbusApi::startScan(const t_GetArray &params, const std::function<void()> &launch)
{
    if (scanner.isRunning())
        return modbusErrorReply(ModbusError::ScanInProgress);
    ScanPlan plan;
    if (!scanPlanFromRequest(params, &plan))
        return modbusErrorReply(ModbusError::InvalidRequest);
    if (!scanner.start(plan))
        return modbusErrorReply(ModbusError::ScanInProgress);
    launch();
    return QByteArray("{\"ok\":\"Scan started\"}");
}

void ModbusApi::runScan()
{
    engine.beginScan(scanner.plan());
    scanner.run([this](const ScanStep &step) { return engine.probe(step); });
    engine.endScan();
}

void ModbusApi::finishScan()
{
    scanner.finish();
}

QByteArray ModbusApi::getScanStatus()
{
    return scanStatusJson(scanner.status());
}

QByteArray ModbusApi::stopScan()
{
    scanner.stop();
    return QByteArray("{\"ok\":\"Scan stopped\"}");
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
    const QByteArray values = decodeValues(read.words, t.valuesCnt, t.format);
    if (values.isEmpty())
        return modbusErrorReply(ModbusError::ValueLayout);
    return values;
}

QByteArray ModbusApi::writeRegisters(const t_GetArray &params)
{
    RegisterTransfer t;
    ModbusError refused = parseTransfer(params, CodecDirection::Write, &t);
    if (refused == ModbusError::None)
        refused = encodeWords(params.value("regVals"), &t);
    if (refused != ModbusError::None)
        return modbusErrorReply(engine.refuse(ModbusEngine::Access::Write, refused));

    const ModbusOutcome written = engine.write(t.request);
    if (!written.ok())
        return failure(written);
    return QByteArray(valuesSent);
}

QByteArray ModbusApi::readBits(const t_GetArray &params)
{
    TransferRequest request;
    const ModbusError refused = parseBits(params, false, &request);
    if (refused != ModbusError::None)
        return modbusErrorReply(engine.refuse(ModbusEngine::Access::Read, refused));

    const ModbusWords read = engine.read(request);
    if (!read.ok())
        return failure(read);
    QVector<quint8> bits(read.words.size());
    for (int i = 0; i < bits.size(); ++i)
        bits[i] = read.words.at(i) ? 1 : 0;
    return bitsToJson(bits);
}

QByteArray ModbusApi::writeBits(const t_GetArray &params)
{
    TransferRequest request;
    ModbusError refused = parseBits(params, true, &request);
    QVector<quint8> bits;
    if (refused == ModbusError::None && !parseBitVals(params.value("bitVals"), request.count, &bits))
        refused = ModbusError::ValueList;
    if (refused != ModbusError::None)
        return modbusErrorReply(engine.refuse(ModbusEngine::Access::Write, refused));

    for (const quint8 bit : qAsConst(bits))
        request.words.append(bit);
    const ModbusOutcome written = engine.write(request);
    if (!written.ok())
        return failure(written);
    return QByteArray(valuesSent);
}

QByteArray ModbusApi::maskWriteRegister(const t_GetArray &params)
{
    quint16 andMask = 0;
    quint16 orMask = 0;
    if (!params.contains("regAddr") || !parseRegisterWord(params.value("andMask"), &andMask)
        || !parseRegisterWord(params.value("orMask"), &orMask))
        return modbusErrorReply(engine.refuse(ModbusEngine::Access::Write, ModbusError::InvalidRequest));

    const ModbusOutcome written = engine.maskWrite(toNumber(params.value("regAddr")), andMask, orMask);
    if (!written.ok())
        return failure(written);
    return QByteArray(valuesSent);
}

QByteArray ModbusApi::readDeviceIdentification(const t_GetArray &params)
{
    const int category = params.contains("category") ? toNumber(params.value("category")) : 1;
    if (category < 1 || category > 3)
        return modbusErrorReply(engine.refuse(ModbusEngine::Access::Identify, ModbusError::InvalidRequest));

    const ModbusDeviceId id = engine.readDeviceIdentification(category);
    if (!id.ok())
        return failure(id);
    return deviceIdJson(id.conformity, id.objects);
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
            + connectionTypeName(engine.getConnectionType())
            + "\",\"isConnected\":" + (engine.isConnected() ? "true" : "false") + "}}";
    return reply;
}
