#include "modbusengine.h"

#include "modbuslibrary.h"
#include "registercodec.h"
#include "regvalsparser.h"

#include <QDebug>
#include <QSettings>
#include <QTcpSocket>
#include <QThread>
#include <QVector>
#include <cerrno>
#include <limits>

namespace {

const int baudRates[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400, 256000, 1000000};
const int baudRateCount = 11;
// The report lists two spare, empty slots a connect refuses.
const char *const baudRateLabels[13] = {"1200", "2400", "4800", "9600", "19200", "38400", "57600",
                                        "115200", "230400", "256000", "1000000", "", ""};
const char *const modeLabels[4] = {"RTU 8N2", "RTU 8E1", "RTU 8O1", "RTU 8N1"};

const int maxValues = 200;
const unsigned long pauseMs = 100;

// The Windows sockets time-out code, which a layer may still report.
const int wsaTimeout = 10060;

// Request numbers: decimal, anything else counts as 0.
int toNumber(const QByteArray &text)
{
    bool ok = false;
    const int value = text.trimmed().toInt(&ok);
    return ok ? value : 0;
}

void lineMode(qint16 mode, char *parity, int *stopBits)
{
    switch (mode) {
    case 0: *parity = 'N'; *stopBits = 2; break;
    case 1: *parity = 'E'; *stopBits = 1; break;
    case 2: *parity = 'O'; *stopBits = 1; break;
    default: *parity = 'N'; *stopBits = 1; break;
    }
}

// First port whose name holds the wanted text; -1 if none.
int matchPort(const QList<QextPortInfo> &ports, const QString &wanted)
{
    const int count = static_cast<qint16>(ports.size());
    for (int i = 0; i < count; ++i) {
        if (ports.at(i).portName.contains(wanted))
            return i;
    }
    return -1;
}

// Only what would break the reply; library texts are plain otherwise.
QByteArray quoteSafe(const QByteArray &text)
{
    QByteArray out;
    out.reserve(text.size());
    for (char c : text) {
        if (c == '"' || c == '\\')
            out.append('\\');
        out.append(c);
    }
    return out;
}

QByteArray jsonText(const QString &text)
{
    return escapeJsonText(text.toLatin1());
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

void debugLine(const char *prefix, unsigned int number)
{
    qDebug().noquote() << QString::fromUtf8(prefix) + QString::number(number);
}

} // namespace

ModbusEngine::ModbusEngine(QObject *parent)
    : ModbusEngine(nullptr, parent)
{
}

ModbusEngine::ModbusEngine(ModbusBackend *layer, QObject *parent)
    : QObject(parent)
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
    return QByteArray("{\"error\":\"Protocol error! ")
           + quoteSafe(backend->modbus_strerror(errnum).toLatin1()) + "\"}";
}

bool ModbusEngine::retryAllowed(unsigned int attempt)
{
    if (attempt > 2)
        return false;
    if (connectionType == 1)
        return true;
    return connected && reopenSerial();
}

QByteArray ModbusEngine::failedTry(int rc, int errnum, unsigned int attempt, const RetryLines &lines,
                                   const QByteArray &mismatchReply, const std::function<QByteArray()> &retry)
{
    if (rc < 0 && isNoReplyError(errnum))
        return errorReply("ERR_TIMEOUT");
    if (retryAllowed(attempt)) {
        debugLine(rc < 0 ? lines.protocol : lines.count, attempt + 1);
        return retry();
    }
    return rc < 0 ? protocolError(errnum) : mismatchReply;
}

void ModbusEngine::applySerialTimeout(int timeout)
{
    ModbusTimeValue value;
    backend->modbus_get_timeout_begin(ctx, &value);
    const qint64 usec = static_cast<qint64>(timeout) * 10000;
    value.tv_usec = static_cast<int32_t>(qBound<qint64>(std::numeric_limits<int32_t>::min(), usec,
                                                        std::numeric_limits<int32_t>::max()));
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

QByteArray ModbusEngine::connectSerial(t_GetArray &params)
{
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
    settings.setValue(QStringLiteral("Selected_Port"), portSelect.mid(3));

    const QList<QextPortInfo> ports = backend->getPorts();
    if (static_cast<qint16>(ports.size()) <= 0)
        return QByteArray("{\"error\":\"Selected serial port not found.\"}");
    const int match = matchPort(ports, portSelect);
    if (match < 0)
        return QByteArray("{\"error\":\"Selected serial port not found.\"}");
    const QString portName = ports.at(match).portName;
    if (portName.startsWith(QLatin1String("LPT")))
        return errorReply("ERR_INVALID_COM");
    if (static_cast<unsigned int>(baudRate) >= static_cast<unsigned int>(baudRateCount))
        return QByteArray("{\"error\":\"Baud rate error!\"}");

    char parity = 'N';
    int stopBits = 1;
    lineMode(static_cast<qint16>(mode), &parity, &stopBits);

    releaseContext();
    ctx = backend->modbus_new_rtu(portName.toLatin1().constData(), baudRates[baudRate], parity, 8,
                                  stopBits);
    if (!ctx || backend->modbus_connect(ctx) == -1) {
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
    connectionType = 0;
    applySerialTimeout(timeout);
    return QByteArray("{\"ok\":\"Connected with serial port.\"}");
}

bool ModbusEngine::reconnectPort_serial()
{
    QSettings settings;
    const QString portName = settings.value(QStringLiteral("portName"), QString()).toString();
    const int baudRate = settings.value(QStringLiteral("baudRate"), 0).toInt();
    const int mode = settings.value(QStringLiteral("mode"), 0).toInt();
    const int timeout = settings.value(QStringLiteral("timeout"), 0).toInt();
    qDebug().noquote() << QStringLiteral("4timeout: ") + QString::number(timeout);

    const QList<QextPortInfo> ports = backend->getPorts();
    if (static_cast<qint16>(ports.size()) <= 0)
        return false;
    const int match = matchPort(ports, portName);
    if (match < 0)
        return false;

    const int baud = static_cast<unsigned int>(baudRate) < static_cast<unsigned int>(baudRateCount)
                         ? baudRates[baudRate] : -1;
    char parity = 'N';
    int stopBits = 1;
    lineMode(static_cast<qint16>(mode), &parity, &stopBits);

    releaseContext();
    ctx = backend->modbus_new_rtu(ports.at(match).portName.toLatin1().constData(), baud, parity, 8,
                                  stopBits);
    if (!ctx || backend->modbus_connect(ctx) == -1) {
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
        connectionType = 1;
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
    transfer->regType = params.contains("regType") ? QString::fromUtf8(params.value("regType"))
                                                   : QStringLiteral("int");
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
    const bool halfWords = reading
        ? needsWholeWords(transfer->regType, transfer->regSize, transfer->valSize)
        : needsWholeWordsForWrite(transfer->regType, transfer->regSize, transfer->valSize);
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
    QThread::msleep(pauseMs);
    if (!ctx)
        return errorReply("ERR_NOT_CONNECTED");
    const int slaveID = QSettings().value(QStringLiteral("slaveID"), 0).toInt();
    if (!params.contains("regAddr") || !params.contains("valuesCnt"))
        return errorReply("ERR_INPUT_PARAMS");

    Transfer t;
    const QByteArray refused = checkTransfer(params, true, &t);
    if (!refused.isEmpty())
        return refused;

    if (connectionType == 1 && !checkTcpHost())
        return errorReply("ERR_SOCKET_CONN");
    backend->modbus_set_slave(ctx, slaveID);

    QVector<quint16> units(unitCount(t.valuesCnt, t.regSize, t.valSize), 0);
    const int rc = t.regSize == 16
        ? backend->modbus_read_registers(ctx, t.regAddr, t.count, units.data())
        : backend->modbus_read_registers_32(ctx, t.regAddr, t.count, units.data());
    const int errnum = backend->lastError();
    if (connectionType == 1)
        backend->modbus_close(ctx);

    if (rc != t.count) {
        static const RetryLines lines{"Reg numb retransmission attempt number : ",
                                      "CRC retransmission attempt number : "};
        return failedTry(rc, errnum, attempt, lines, errorReply("ERR_REG_NUMB_NO_MATCH"),
                         [&] { return readRegisters(params, attempt + 1); });
    }

    const QByteArray reply =
        decodeRegisters(units, t.valuesCnt, t.regType, t.regSize, t.valSize, t.floatPrec);
    if (reply.isEmpty())
        return QByteArray("{\"error\":\"Invalid one value size!\"}");
    return reply;
}

QByteArray ModbusEngine::writeRegisters(t_GetArray &params, unsigned int attempt)
{
    if (!ctx)
        return errorReply("ERR_NOT_CONNECTED");
    const int slaveID = QSettings().value(QStringLiteral("slaveID"), 0).toInt();
    QThread::msleep(pauseMs);
    if (!params.contains("regAddr") || !params.contains("valuesCnt") || !params.contains("regVals"))
        return errorReply("ERR_INPUT_PARAMS");

    Transfer t;
    const QByteArray refused = checkTransfer(params, false, &t);
    if (!refused.isEmpty())
        return refused;

    backend->modbus_set_slave(ctx, slaveID);

    // The browser encodes the list once more than the request itself.
    const QString source = QString::fromUtf8(QByteArray::fromPercentEncoding(params.value("regVals")));
    QVector<RegValsElement> values;
    if (!parseRegVals(source, &values) || values.size() != t.valuesCnt)
        return QByteArray("{\"error\":\"Registers values error!\"}");

    QVector<quint16> units;
    if (!encodeRegisters(values, t.regType, t.regSize, t.valSize, &units))
        return QByteArray("{\"error\":\"Invalid one value size!\"}");

    if (connectionType == 1 && !checkTcpHost())
        return errorReply("ERR_SOCKET_CONN");

    int rc;
    if (t.regSize == 16) {
        rc = backend->modbus_write_registers(ctx, t.regAddr, t.count, units.constData());
    } else {
        QVector<quint32> words(t.count);
        for (int i = 0; i < t.count; ++i)
            words[i] = units.at(2 * i) | (static_cast<quint32>(units.at(2 * i + 1)) << 16);
        rc = backend->modbus_write_registers_32(ctx, t.regAddr, t.count, words.constData());
    }
    const int errnum = backend->lastError();
    if (connectionType == 1)
        backend->modbus_close(ctx);

    if (rc != t.count) {
        static const RetryLines lines{"write Reg numb retransmission attempt number : ",
                                      "write CRC retransmission attempt number : "};
        return failedTry(rc, errnum, attempt, lines, errorReply("ERR_REG_NUMB_NO_MATCH"),
                         [&] { return writeRegisters(params, attempt + 1); });
    }
    return QByteArray("{\"ok\":\"Values successfully sent.\"}");
}

QByteArray ModbusEngine::identifySlave(unsigned int attempt)
{
    if (!ctx)
        return errorReply("ERR_NOT_CONNECTED");
    QSettings settings;
    const int slaveID = settings.value(QStringLiteral("slaveID"), 0).toInt();
    if (connectionType == 1 && !checkTcpHost())
        return errorReply("ERR_SOCKET_CONN");
    backend->modbus_set_slave(ctx, slaveID);

    uint8_t buffer[256] = {};
    const int rc = backend->modbus_report_slave_id(ctx, buffer);
    const int errnum = backend->lastError();
    if (connectionType == 1)
        backend->modbus_close(ctx);

    if (rc < 1 || rc > 254) {
        static const RetryLines lines{"identify unknow retransmission attempt number : ",
                                      "identify crc retransmission attempt number : "};
        return failedTry(rc, errnum, attempt, lines, QByteArray("{\"error\":\"Unknown error!\"}"),
                         [&] { return identifySlave(attempt + 1); });
    }

    const unsigned int id = buffer[0];
    settings.setValue(QStringLiteral("Tavik_ID"), QString::number(id));

    QByteArray desc;
    for (int i = 2; i < rc; ++i) {
        const uint8_t byte = buffer[i];
        if (byte >= 32 && byte <= 125)
            desc += escapeJsonChar(static_cast<char>(byte)).toLatin1();
    }
    QByteArray bytes;
    for (int i = 0; i < rc; ++i) {
        if (i > 0)
            bytes += ',';
        bytes += QByteArray::number(buffer[i]);
    }
    return QByteArray("{\"id\":") + QByteArray::number(id) + ",\"desc\":\"" + desc
           + "\",\"descArray\":[" + bytes + "]}";
}

QByteArray ModbusEngine::getPortSettings()
{
    QByteArray reply("{\"ports\":{");
    const QList<QextPortInfo> ports = backend->getPorts();
    const int portCount = static_cast<qint16>(ports.size());
    for (int i = 0; i < portCount; ++i) {
        QString name = ports.at(i).portName;
        if (name.contains(QLatin1String("\\.")))
            name = name.right(5);
        if (i > 0)
            reply += ',';
        reply += '"' + QByteArray::number(i) + "\":{\"portName\":\"" + jsonText(name)
                 + "\",\"friendName\":\"" + jsonText(ports.at(i).friendName) + "\"}";
    }
    reply += "},\"baudRate\":{";
    for (int i = 0; i < 13; ++i) {
        if (i > 0)
            reply += ',';
        reply += '"' + QByteArray::number(i) + "\":\"" + baudRateLabels[i] + '"';
    }
    reply += "},\"mode\":{";
    for (int i = 0; i < 4; ++i) {
        if (i > 0)
            reply += ',';
        reply += '"' + QByteArray::number(i) + "\":\"" + modeLabels[i] + '"';
    }

    const QSettings settings;
    reply += "},\"userSettings\":{\"port\":\""
             + jsonText(settings.value(QStringLiteral("portName"), 0).toString()) + "\",\"slaveID\":"
             + storedNumber(settings, QStringLiteral("slaveID"), 1)
             + ",\"baudRate\":" + storedNumber(settings, QStringLiteral("baudRate"), 0)
             + ",\"mode\":" + storedNumber(settings, QStringLiteral("mode"), 3)
             + ",\"timeout\":" + storedNumber(settings, QStringLiteral("timeout"), 200000)
             + ",\"tcpIp\":\""
             + jsonText(settings.value(QStringLiteral("tcpIp"), QStringLiteral("192.168.1.100")).toString())
             + "\",\"tcpPort\":" + storedNumber(settings, QStringLiteral("tcpPort"), 502)
             + ",\"connectionType\":\"" + (connectionType == 0 ? "serial" : "tcp")
             + "\",\"isConnected\":" + (connected ? "true" : "false") + "}}";
    return reply;
}
