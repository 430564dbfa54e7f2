#include "modbusengine.h"

#include "jsontext.h"
#include "modbuslibrary.h"
#include "registercodec.h"
#include "regvalsparser.h"
#include "serialline.h"

#include <QDebug>
#include <QSettings>
#include <QTcpSocket>
#include <QThread>
#include <QVector>
#include <cerrno>
#include <limits>

namespace {

const int maxValues = 200;
const unsigned long pauseMs = 100;

// Unit addresses the library takes: a serial line stops at 247, TCP carries a whole byte.
const int maxSerialUnit = 247;
const int maxTcpUnit = 255;

// The Windows sockets time-out code, which a layer may still report.
const int wsaTimeout = 10060;

// Request numbers: decimal, anything else counts as 0.
int toNumber(const QByteArray &text)
{
    bool ok = false;
    const int value = text.trimmed().toInt(&ok);
    return ok ? value : 0;
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

void debugLine(const char *prefix, unsigned int number)
{
    qDebug().noquote() << QString::fromUtf8(prefix) + QString::number(number);
}

int storedSlaveID()
{
    return QSettings().value(QStringLiteral("slaveID"), 0).toInt();
}

} // namespace

ModbusEngine::ModbusEngine(QObject *parent) : ModbusEngine(nullptr, parent)
{}

ModbusEngine::ModbusEngine(ModbusBackend *layer, QObject *parent)
    : QObject(parent), pause([](unsigned long ms) { QThread::msleep(ms); })
{
    if (!layer) {
        ownBackend = std::make_unique<ModbusLibrary>();
        layer = ownBackend.get();
    }
    backend = layer;
    errorReplies.insert("ERR_NOT_CONNECTED", "{\"error\":\"Not connected\"}");
    errorReplies.insert("ERR_INPUT_PARAMS", "{\"error\":\"Input parameters error!\"}");
    errorReplies.insert("ERR_TOO_MANY_REGS", "{\"error\":\"Too many registers\"}");
    errorReplies.insert("ERR_TIMEOUT", "{\"error\":\"I/O error: did not receive any data from slave.\"}");
    errorReplies.insert("ERR_SOCKET_CONN", "{\"error\":\"Unable to connect with TCP socket.\"}");
    errorReplies.insert("ERR_REG_NUMB_NO_MATCH", "{\"error\":\"Number of registers returned does not match!\"}");
    errorReplies.insert("ERR_INVALID_COM", "{\"error\":\"Invalid port!\"}");
}

ModbusEngine::~ModbusEngine()
{
    releaseContext();
}

void ModbusEngine::setPause(Pause newPause)
{
    pause = std::move(newPause);
}

QByteArray ModbusEngine::errorReply(const char *key) const
{
    return errorReplies.value(QByteArray(key));
}

void ModbusEngine::releaseContext()
{
    if (ctx) {
        backend->modbus_close(ctx);
        backend->modbus_free(ctx);
        ctx = nullptr;
    }
}

bool ModbusEngine::isNoReplyError(int errnum) const
{
    return errnum == wsaTimeout || errnum == EIO || errnum == ETIMEDOUT;
}

QByteArray ModbusEngine::protocolError(int errnum)
{
    return QByteArray("{\"error\":\"Protocol error! ") + jsonEscape(backend->modbus_strerror(errnum).toLatin1())
            + "\"}";
}

bool ModbusEngine::unitAccepted(int slaveID) const
{
    const int highest = connectionType == ConnectionType::Tcp ? maxTcpUnit : maxSerialUnit;
    return slaveID >= 0 && slaveID <= highest;
}

bool ModbusEngine::retryAllowed(unsigned int attempt)
{
    if (attempt > 2)
        return false;
    if (connectionType == ConnectionType::Tcp)
        return true;
    return connected && reopenSerial();
}

bool ModbusEngine::transactRegisters(unsigned int attempt, const RetryLines &lines, int count,
                                     const std::function<int()> &transfer, const std::function<QByteArray()> &retry,
                                     QByteArray *reply)
{
    const Transaction registers{lines, errorReply("ERR_REG_NUMB_NO_MATCH"), transfer,
                                [count](int rc) { return rc == count; }, retry};
    return transact(attempt, registers, reply);
}

bool ModbusEngine::transact(unsigned int attempt, const Transaction &transaction, QByteArray *reply)
{
    // A unit the library refuses would leave the context without one, and a
    // serial transfer then aborts inside the library: refuse it before the bus.
    const int slaveID = storedSlaveID();
    if (!unitAccepted(slaveID)) {
        *reply = errorReply("ERR_INPUT_PARAMS");
        return false;
    }
    const bool tcp = connectionType == ConnectionType::Tcp;
    if (tcp && !checkTcpHost()) {
        *reply = errorReply("ERR_SOCKET_CONN");
        return false;
    }
    if (backend->modbus_set_slave(ctx, slaveID) < 0) {
        if (tcp)
            backend->modbus_close(ctx);
        *reply = errorReply("ERR_INPUT_PARAMS");
        return false;
    }
    const int rc = transaction.transfer();
    const int errnum = backend->lastError();
    if (tcp)
        backend->modbus_close(ctx);
    if (transaction.expected(rc))
        return true;

    if (rc < 0 && isNoReplyError(errnum)) {
        *reply = errorReply("ERR_TIMEOUT");
    } else if (retryAllowed(attempt)) {
        debugLine(rc < 0 ? transaction.lines.protocol : transaction.lines.count, attempt + 1);
        *reply = transaction.retry();
    } else {
        *reply = rc < 0 ? protocolError(errnum) : transaction.mismatchReply;
    }
    return false;
}

void ModbusEngine::applySerialTimeout(int timeout)
{
    ModbusTimeValue value;
    backend->modbus_get_timeout_begin(ctx, &value);
    const qint64 usec = static_cast<qint64>(timeout) * 10000;
    value.tv_usec = static_cast<int32_t>(
            qBound<qint64>(std::numeric_limits<int32_t>::min(), usec, std::numeric_limits<int32_t>::max()));
    backend->modbus_set_timeout_begin(ctx, &value);
}

QByteArray ModbusEngine::disconnectPort()
{
    releaseContext();
    connected = false;
    return QByteArray("{\"ok\":\"Disconnected\"}");
}

QByteArray ModbusEngine::connectPort(t_GetArray &params)
{
    if (!params.contains("connType"))
        return errorReply("ERR_INPUT_PARAMS");
    if (params.value("connType") == "serial")
        return connectSerial(params);
    return connectWitchTCP(params);
}

bool ModbusEngine::findPort(const QString &wanted, QString *portName)
{
    const QList<QextPortInfo> ports = backend->getPorts();
    const int count = static_cast<qint16>(ports.size());
    for (int i = 0; i < count; ++i) {
        // A part of the name will do: COM1 selects COM10 when that comes first.
        if (ports.at(i).portName.contains(wanted)) {
            *portName = ports.at(i).portName;
            return true;
        }
    }
    return false;
}

bool ModbusEngine::openSerial(const QString &portName, int baud, int mode)
{
    const LineMode line = lineModeFor(static_cast<qint16>(mode));
    releaseContext();
    ctx = backend->modbus_new_rtu(portName.toLatin1().constData(), baud, line.parity, 8, line.stopBits);
    return ctx && backend->modbus_connect(ctx) != -1;
}

QByteArray ModbusEngine::connectSerial(t_GetArray &params)
{
    // Intended: every parameter counts here, func and connType included; the
    // named checks below would give the same reply.
    if (params.size() <= 5)
        return errorReply("ERR_INPUT_PARAMS");
    if (!params.contains("portSelect") || !params.contains("slaveID") || !params.contains("baudRate")
        || !params.contains("mode") || !params.contains("timeout"))
        return errorReply("ERR_INPUT_PARAMS");

    const QString portSelect = QString::fromUtf8(params.value("portSelect"));
    const int slaveID = toNumber(params.value("slaveID"));
    const int baudRate = toNumber(params.value("baudRate"));
    const int mode = toNumber(params.value("mode"));
    const int timeout = toNumber(params.value("timeout"));

    QSettings settings;
    // Intended: the firmware updater wants the number of a COMn name, so the
    // first three characters go whatever the name is.
    settings.setValue(QStringLiteral("Selected_Port"), portSelect.mid(3));

    QString portName;
    if (!findPort(portSelect, &portName))
        return QByteArray("{\"error\":\"Selected serial port not found.\"}");
    if (portName.startsWith(QLatin1String("LPT")))
        return errorReply("ERR_INVALID_COM");
    const int baud = baudRateForIndex(baudRate);
    if (baud < 0)
        return QByteArray("{\"error\":\"Baud rate error!\"}");

    if (!openSerial(portName, baud, mode)) {
        if (ctx)
            backend->modbus_free(ctx);
        ctx = nullptr;
        connected = false;
        return QByteArray("{\"error\":\"Could not connect to serial port!\"}");
    }

    settings.setValue(QStringLiteral("portName"), portSelect);
    settings.setValue(QStringLiteral("slaveID"), static_cast<int>(static_cast<qint16>(slaveID)));
    settings.setValue(QStringLiteral("baudRate"), baudRate);
    settings.setValue(QStringLiteral("mode"), static_cast<int>(static_cast<qint16>(mode)));
    settings.setValue(QStringLiteral("timeout"), timeout);
    connected = true;
    connectionType = ConnectionType::Serial;
    applySerialTimeout(timeout);
    return QByteArray("{\"ok\":\"Connected with serial port.\"}");
}

bool ModbusEngine::reconnectPort_serial()
{
    QSettings settings;
    const QString storedName = settings.value(QStringLiteral("portName"), QString()).toString();
    const int baudRate = settings.value(QStringLiteral("baudRate"), 0).toInt();
    const int mode = settings.value(QStringLiteral("mode"), 0).toInt();
    const int timeout = settings.value(QStringLiteral("timeout"), 0).toInt();
    qDebug().noquote() << QStringLiteral("4timeout: ") + QString::number(timeout);

    QString portName;
    if (!findPort(storedName, &portName))
        return false;
    // No printer-port or baud test here: the store holds what a connect accepted.
    if (!openSerial(portName, baudRateForIndex(baudRate), mode)) {
        qDebug().noquote() << QString::fromUtf8("Błąd: Nie udało się połączyć z Modbus!modbus_new_rtu");
        return false;
    }
    connected = true;
    applySerialTimeout(timeout);
    return true;
}

bool ModbusEngine::reopenSerial()
{
    disconnectPort();
    return reconnectPort_serial();
}

QByteArray ModbusEngine::connectWitchTCP(t_GetArray &params)
{
    if (!params.contains("ipAddres_tcp") || !params.contains("slaveID") || !params.contains("port_tcp")
        || !params.contains("timeout"))
        return errorReply("ERR_INPUT_PARAMS");

    const QString host = QString::fromUtf8(params.value("ipAddres_tcp"));
    const int slaveID = toNumber(params.value("slaveID"));
    const int port = toNumber(params.value("port_tcp"));
    const int timeout = toNumber(params.value("timeout"));

    releaseContext();
    ctx = backend->modbus_new_tcp(host.toLatin1().constData(), port);

    QSettings settings;
    settings.setValue(QStringLiteral("tcpIp"), host);
    settings.setValue(QStringLiteral("slaveID"), static_cast<int>(static_cast<qint16>(slaveID)));
    settings.setValue(QStringLiteral("tcpPort"), port);
    settings.setValue(QStringLiteral("timeout"), timeout);

    // A host text the library refuses gives no context; that is no connection.
    if (ctx && checkTcpHost()) {
        backend->modbus_close(ctx);
        connectionType = ConnectionType::Tcp;
        connected = true;
        return QByteArray("{\"ok\":\"Connected with Modbus TCP.\"}");
    }
    qDebug().noquote() << QString::fromUtf8("Błąd: Nie udało się nawiązać połączenia z hostem TCP!");
    if (ctx)
        backend->modbus_free(ctx);
    ctx = nullptr;
    connected = false;
    return QByteArray("{\"error\":\"Could not connect to Modbus TCP!\"}");
}

bool ModbusEngine::checkTcpHost()
{
    QTcpSocket socket;
    QSettings settings;
    const quint16 port = static_cast<quint16>(settings.value(QStringLiteral("tcpPort"), 0).toUInt());
    const QString host = settings.value(QStringLiteral("tcpIp"), QString()).toString();
    const int timeout = settings.value(QStringLiteral("timeout"), 0).toInt();

    socket.connectToHost(host, port, QIODevice::ReadWrite, QAbstractSocket::AnyIPProtocol);
    // A negative wait would never end.
    const bool reached = socket.waitForConnected(qMax(0, timeout));
    if (reached) {
        socket.close();
        backend->modbus_connect(ctx);
    } else {
        socket.abort();
    }
    return reached;
}

QByteArray ModbusEngine::checkTransfer(const t_GetArray &params, bool reading, Transfer *transfer) const
{
    transfer->regAddr = toNumber(params.value("regAddr"));
    transfer->valuesCnt = toNumber(params.value("valuesCnt"));
    transfer->regType = params.contains("regType") ? QString::fromUtf8(params.value("regType")) : QStringLiteral("int");
    if (params.contains("regSize")) {
        transfer->regSize = toNumber(params.value("regSize"));
        if (transfer->regSize != 32 && transfer->regSize != 16)
            return QByteArray("{\"error\":\"Invalid registers size!\"}");
    }
    if (params.contains("valSize")) {
        transfer->valSize = toNumber(params.value("valSize"));
        if (transfer->valSize != 32 && transfer->valSize != 16)
            return QByteArray("{\"error\":\"Invalid value size!\"}");
    }
    if (reading && params.contains("floatPrec")) {
        transfer->floatPrec = toNumber(params.value("floatPrec"));
        if (static_cast<unsigned int>(transfer->floatPrec) > 20)
            return QByteArray("{\"error\":\"Invalid float precision!\"}");
    }
    const bool halfWords = needsWholeWords(transfer->regType, transfer->regSize, transfer->valSize,
                                           reading ? CodecDirection::Read : CodecDirection::Write);
    if ((transfer->valSize == 16 && transfer->regSize == 32) || halfWords)
        return QByteArray("{\"error\":\"Invalid one value size!\"}");

    if (transfer->valuesCnt > maxValues)
        return errorReply("ERR_TOO_MANY_REGS");
    if (transfer->valuesCnt <= 0)
        return errorReply("ERR_INPUT_PARAMS");
    // Worked out only now, so a huge count cannot overflow.
    transfer->count = registerCount(transfer->valuesCnt, transfer->regSize, transfer->valSize);
    return QByteArray();
}

QByteArray ModbusEngine::readRegisters(t_GetArray &params, unsigned int attempt)
{
    pause(pauseMs);
    if (!ctx)
        return errorReply("ERR_NOT_CONNECTED");
    if (!params.contains("regAddr") || !params.contains("valuesCnt"))
        return errorReply("ERR_INPUT_PARAMS");

    Transfer t;
    const QByteArray refused = checkTransfer(params, true, &t);
    if (!refused.isEmpty())
        return refused;

    QVector<quint16> units(unitCount(t.valuesCnt, t.regSize, t.valSize), 0);
    const auto read = [&] {
        return t.regSize == 16 ? backend->modbus_read_registers(ctx, t.regAddr, t.count, units.data())
                               : backend->modbus_read_registers_32(ctx, t.regAddr, t.count, units.data());
    };
    static const RetryLines lines{"Reg numb retransmission attempt number : ", "CRC retransmission attempt number : "};
    QByteArray reply;
    if (!transactRegisters(
                attempt, lines, t.count, read, [&] { return readRegisters(params, attempt + 1); }, &reply))
        return reply;

    reply = decodeRegisters(units, t.valuesCnt, t.regType, t.regSize, t.valSize, t.floatPrec);
    if (reply.isEmpty())
        return QByteArray("{\"error\":\"Invalid one value size!\"}");
    return reply;
}

QByteArray ModbusEngine::writeRegisters(t_GetArray &params, unsigned int attempt)
{
    // Unlike a read, a write without a connection answers before the pause.
    if (!ctx)
        return errorReply("ERR_NOT_CONNECTED");
    pause(pauseMs);
    if (!params.contains("regAddr") || !params.contains("valuesCnt") || !params.contains("regVals"))
        return errorReply("ERR_INPUT_PARAMS");

    Transfer t;
    const QByteArray refused = checkTransfer(params, false, &t);
    if (!refused.isEmpty())
        return refused;

    // The browser encodes the list once more than the request itself.
    const QString source = QString::fromUtf8(QByteArray::fromPercentEncoding(params.value("regVals")));
    QVector<RegValsElement> values;
    if (!parseRegVals(source, &values) || values.size() != t.valuesCnt)
        return QByteArray("{\"error\":\"Registers values error!\"}");

    QVector<quint16> units;
    if (!encodeRegisters(values, t.regType, t.regSize, t.valSize, &units))
        return QByteArray("{\"error\":\"Invalid one value size!\"}");
    QVector<quint32> words;
    if (t.regSize == 32) {
        words.resize(t.count);
        for (int i = 0; i < t.count; ++i)
            words[i] = units.at(2 * i) | (static_cast<quint32>(units.at(2 * i + 1)) << 16);
    }

    const auto write = [&] {
        return t.regSize == 16 ? backend->modbus_write_registers(ctx, t.regAddr, t.count, units.constData())
                               : backend->modbus_write_registers_32(ctx, t.regAddr, t.count, words.constData());
    };
    static const RetryLines lines{"write Reg numb retransmission attempt number : ",
                                  "write CRC retransmission attempt number : "};
    QByteArray reply;
    if (!transactRegisters(
                attempt, lines, t.count, write, [&] { return writeRegisters(params, attempt + 1); }, &reply))
        return reply;
    return QByteArray("{\"ok\":\"Values successfully sent.\"}");
}

QByteArray ModbusEngine::identifySlave(unsigned int attempt)
{
    if (!ctx)
        return errorReply("ERR_NOT_CONNECTED");

    uint8_t buffer[256] = {};
    int received = 0;
    const Transaction identify{
            {"identify unknow retransmission attempt number : ", "identify crc retransmission attempt number : "},
            QByteArray("{\"error\":\"Unknown error!\"}"),
            [&] { return received = backend->modbus_report_slave_id(ctx, buffer); },
            [](int rc) { return rc >= 1 && rc <= 254; },
            [&] { return identifySlave(attempt + 1); }};
    QByteArray reply;
    if (!transact(attempt, identify, &reply))
        return reply;

    const unsigned int id = buffer[0];
    QSettings().setValue(QStringLiteral("Tavik_ID"), QString::number(id));

    QByteArray desc;
    for (int i = 2; i < received; ++i) {
        const uint8_t byte = buffer[i];
        if (byte >= 32 && byte <= 125)
            desc += jsonEscapeChar(static_cast<char>(byte), JsonSlash::Escape);
    }
    QByteArray bytes;
    for (int i = 0; i < received; ++i) {
        if (i > 0)
            bytes += ',';
        bytes += QByteArray::number(buffer[i]);
    }
    return QByteArray("{\"id\":") + QByteArray::number(id) + ",\"desc\":\"" + desc + "\",\"descArray\":[" + bytes
            + "]}";
}

QByteArray ModbusEngine::getPortSettings()
{
    QByteArray reply("{\"ports\":{");
    const QList<QextPortInfo> ports = backend->getPorts();
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
            + (connectionType == ConnectionType::Serial ? "serial" : "tcp")
            + "\",\"isConnected\":" + (connected ? "true" : "false") + "}}";
    return reply;
}
