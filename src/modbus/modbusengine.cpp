#include "modbusengine.h"

#include "modbuslibrary.h"

#include <QDebug>
#include <QTcpSocket>
#include <QThread>
#include <cerrno>
#include <limits>

namespace {

const unsigned long pauseMs = 100;

// Unit addresses the library takes: a serial line stops at 247, TCP carries a whole byte.
const int maxSerialUnit = 247;
const int maxTcpUnit = 255;

// The Windows sockets time-out code, which a layer may still report.
const int wsaTimeout = 10060;

bool isNoReplyError(int errnum)
{
    return errnum == wsaTimeout || errnum == EIO || errnum == ETIMEDOUT;
}

void debugLine(const char *prefix, unsigned int number)
{
    qDebug().noquote() << QString::fromUtf8(prefix) + QString::number(number);
}

} // namespace

ModbusEngine::ModbusEngine(const ModbusSettings &settings, QObject *parent) : ModbusEngine(nullptr, parent)
{
    static_cast<ModbusLibrary *>(backend)->setExtraPorts(settings.extraPorts);
}

ModbusEngine::ModbusEngine(ModbusBackend *layer, QObject *parent)
    : QObject(parent), pause([](unsigned long ms) { QThread::msleep(ms); })
{
    if (!layer) {
        ownBackend = std::make_unique<ModbusLibrary>();
        layer = ownBackend.get();
    }
    backend = layer;
}

ModbusEngine::~ModbusEngine()
{
    releaseContext();
}

void ModbusEngine::setPause(Pause newPause)
{
    pause = std::move(newPause);
}

QString ModbusEngine::libraryErrorText(int errnum)
{
    return backend->modbus_strerror(errnum);
}

QList<QextPortInfo> ModbusEngine::ports()
{
    return backend->getPorts();
}

void ModbusEngine::releaseContext()
{
    if (ctx) {
        backend->modbus_close(ctx);
        backend->modbus_free(ctx);
        ctx = nullptr;
    }
}

void ModbusEngine::disconnectPort()
{
    releaseContext();
    connected = false;
}

bool ModbusEngine::unitAccepted() const
{
    const int highest = connectionType == ConnectionType::Tcp ? maxTcpUnit : maxSerialUnit;
    return unit >= 0 && unit <= highest;
}

bool ModbusEngine::retryAllowed(unsigned int attempt)
{
    if (attempt > 2)
        return false;
    if (connectionType == ConnectionType::Tcp)
        return true;
    return connected && reopenSerial();
}

ModbusError ModbusEngine::enter(Access access)
{
    if (access == Access::Read)
        pause(pauseMs);
    if (!ctx)
        return ModbusError::NotConnected;
    if (access == Access::Write)
        pause(pauseMs);
    return ModbusError::None;
}

ModbusError ModbusEngine::refuse(Access access, ModbusError reason)
{
    const ModbusError link = enter(access);
    return link == ModbusError::None ? reason : link;
}

ModbusOutcome ModbusEngine::transact(const RetryLines &lines, bool pauseOnRetry, const std::function<int()> &transfer,
                                     const std::function<bool(int)> &expected, ModbusError mismatch)
{
    for (unsigned int attempt = 0;; ++attempt) {
        if (attempt > 0 && pauseOnRetry)
            pause(pauseMs);
        // A unit the library refuses would leave the context without one, and a
        // serial transfer then aborts inside the library: refuse it before the bus.
        if (!unitAccepted())
            return ModbusOutcome(ModbusError::UnitRefused);
        const bool overTcp = connectionType == ConnectionType::Tcp;
        if (overTcp && !checkTcpHost())
            return ModbusOutcome(ModbusError::HostUnreachable);
        if (backend->modbus_set_slave(ctx, unit) < 0) {
            if (overTcp)
                backend->modbus_close(ctx);
            return ModbusOutcome(ModbusError::UnitRefused);
        }
        const int rc = transfer();
        const int errnum = backend->lastError();
        if (overTcp)
            backend->modbus_close(ctx);
        if (expected(rc))
            return ModbusOutcome();
        if (rc < 0 && isNoReplyError(errnum))
            return ModbusOutcome(ModbusError::NoReply);
        if (!retryAllowed(attempt))
            return rc < 0 ? ModbusOutcome(ModbusError::ProtocolFault, errnum) : ModbusOutcome(mismatch);
        debugLine(rc < 0 ? lines.protocol : lines.count, attempt + 1);
    }
}

ModbusWords ModbusEngine::read(const TransferRequest &request)
{
    return exchange(Access::Read, request);
}

ModbusOutcome ModbusEngine::write(const TransferRequest &request)
{
    return exchange(Access::Write, request);
}

ModbusWords ModbusEngine::exchange(Access access, const TransferRequest &request)
{
    const ModbusError link = enter(access);
    if (link != ModbusError::None)
        return ModbusOutcome(link);
    const bool reading = access == Access::Read;
    if (request.table != ModbusTable::HoldingRegisters || request.count <= 0
        || (!reading && request.words.size() != request.wordCount()))
        return ModbusOutcome(ModbusError::InvalidRequest);
    if (request.wordSize != 16 && request.wordSize != 32)
        return ModbusOutcome(ModbusError::RegisterSize);

    QVector<quint16> words = reading ? QVector<quint16>(request.wordCount(), 0) : request.words;
    static const RetryLines readLines{"Reg numb retransmission attempt number : ",
                                      "CRC retransmission attempt number : "};
    static const RetryLines writeLines{"write Reg numb retransmission attempt number : ",
                                       "write CRC retransmission attempt number : "};
    const int count = request.count;
    const ModbusOutcome outcome = transact(
            reading ? readLines : writeLines, true, [&] { return toWire(access, request, words); },
            [count](int rc) { return rc == count; }, ModbusError::CountMismatch);
    if (!outcome.ok() || !reading)
        return outcome;
    return ModbusWords(outcome, words);
}

int ModbusEngine::toWire(Access access, const TransferRequest &request, QVector<quint16> &words)
{
    const bool wide = request.wordSize == 32;
    if (access == Access::Read)
        return wide ? backend->modbus_read_registers_32(ctx, request.address, request.count, words.data())
                    : backend->modbus_read_registers(ctx, request.address, request.count, words.data());
    if (!wide)
        return backend->modbus_write_registers(ctx, request.address, request.count, words.constData());
    QVector<quint32> packed(request.count);
    for (int i = 0; i < request.count; ++i)
        packed[i] = words.at(2 * i) | (static_cast<quint32>(words.at(2 * i + 1)) << 16);
    return backend->modbus_write_registers_32(ctx, request.address, request.count, packed.constData());
}

ModbusBytes ModbusEngine::reportSlaveId()
{
    if (!ctx)
        return ModbusOutcome(ModbusError::NotConnected);
    uint8_t buffer[256] = {};
    int received = 0;
    static const RetryLines lines{"identify unknow retransmission attempt number : ",
                                  "identify crc retransmission attempt number : "};
    const ModbusOutcome outcome = transact(
            lines, false, [&] { return received = backend->modbus_report_slave_id(ctx, buffer); },
            [](int rc) { return rc >= 1 && rc <= 254; }, ModbusError::ReportLength);
    if (!outcome.ok())
        return outcome;
    return ModbusBytes(outcome, QByteArray(reinterpret_cast<const char *>(buffer), received));
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

bool ModbusEngine::findPort(const QString &wanted, QString *portName)
{
    // Every name contains the empty one, which would pick the first real port.
    if (wanted.isEmpty())
        return false;
    const QList<QextPortInfo> found = backend->getPorts();
    const int count = static_cast<qint16>(found.size());
    for (int i = 0; i < count; ++i) {
        if (found.at(i).portName == wanted) {
            *portName = wanted;
            return true;
        }
    }
    for (int i = 0; i < count; ++i) {
        // Without an exact name a part will do, as COM3 finds \\.\COM3.
        if (found.at(i).portName.contains(wanted)) {
            *portName = found.at(i).portName;
            return true;
        }
    }
    return false;
}

bool ModbusEngine::openRtu(const QString &portName, const SerialLink &link)
{
    releaseContext();
    ctx = backend->modbus_new_rtu(portName.toLatin1().constData(), link.baud, link.parity, 8, link.stopBits);
    return ctx && backend->modbus_connect(ctx) != -1;
}

ModbusOutcome ModbusEngine::connectSerial(const SerialLink &link)
{
    QString portName;
    if (!findPort(link.port, &portName))
        return ModbusOutcome(ModbusError::PortNotFound);
    if (portName.startsWith(QLatin1String("LPT")))
        return ModbusOutcome(ModbusError::PrinterPort);
    if (link.baud <= 0)
        return ModbusOutcome(ModbusError::BaudRate);

    if (!openRtu(portName, link)) {
        if (ctx)
            backend->modbus_free(ctx);
        ctx = nullptr;
        connected = false;
        return ModbusOutcome(ModbusError::SerialOpenFailed);
    }
    serial = link;
    unit = link.unit;
    connected = true;
    connectionType = ConnectionType::Serial;
    applySerialTimeout(link.timeout);
    return ModbusOutcome();
}

bool ModbusEngine::reconnectSerial()
{
    qDebug().noquote() << QStringLiteral("4timeout: ") + QString::number(serial.timeout);
    QString portName;
    if (!findPort(serial.port, &portName))
        return false;
    if (!openRtu(portName, serial)) {
        qDebug().noquote() << QString::fromUtf8("Błąd: Nie udało się połączyć z Modbus!modbus_new_rtu");
        return false;
    }
    connected = true;
    applySerialTimeout(serial.timeout);
    return true;
}

bool ModbusEngine::reopenSerial()
{
    disconnectPort();
    return reconnectSerial();
}

ModbusOutcome ModbusEngine::connectTcp(const TcpLink &link)
{
    releaseContext();
    ctx = backend->modbus_new_tcp(link.host.toLatin1().constData(), link.port);
    tcp = link;
    unit = link.unit;

    // A host text the library refuses gives no context; that is no connection.
    if (ctx && checkTcpHost()) {
        backend->modbus_close(ctx);
        connectionType = ConnectionType::Tcp;
        connected = true;
        return ModbusOutcome();
    }
    qDebug().noquote() << QString::fromUtf8("Błąd: Nie udało się nawiązać połączenia z hostem TCP!");
    if (ctx)
        backend->modbus_free(ctx);
    ctx = nullptr;
    connected = false;
    return ModbusOutcome(ModbusError::TcpConnectFailed);
}

bool ModbusEngine::checkTcpHost()
{
    QTcpSocket socket;
    socket.connectToHost(tcp.host, static_cast<quint16>(tcp.port), QIODevice::ReadWrite,
                         QAbstractSocket::AnyIPProtocol);
    // A negative wait would never end.
    const bool reached = socket.waitForConnected(qMax(0, tcp.timeout));
    if (reached) {
        socket.close();
        backend->modbus_connect(ctx);
    } else {
        socket.abort();
    }
    return reached;
}
