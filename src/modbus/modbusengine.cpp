#include "modbusengine.h"

#include "modbuslibrary.h"
#include "serialline.h"

#include <QDebug>
#include <QTcpSocket>
#include <QThread>
#include <cerrno>
#include <cmath>
#include <limits>

namespace {

// Unit addresses the library takes: a serial line stops at 247, TCP carries a whole byte.
const int maxSerialUnit = 247;
const int maxTcpUnit = 255;

// The Windows sockets time-out code, which a layer may still report.
const int wsaTimeout = 10060;

// The most requests one device identification makes, however far the
// device says more follows.
const int maxDeviceIdRequests = 16;

bool isNoReplyError(int errnum)
{
    return errnum == wsaTimeout || errnum == EIO || errnum == ETIMEDOUT;
}

// What a send or receive on a TCP connection the peer has closed reports.
bool isDroppedLink(int errnum)
{
    return errnum == ECONNRESET || errnum == EPIPE || errnum == ENOTCONN || errnum == ECONNABORTED || errnum == EBADF;
}

void debugLine(const char *prefix, unsigned int number)
{
    qDebug().noquote() << QString::fromUtf8(prefix) + QString::number(number);
}

} // namespace

ModbusEngine::ModbusEngine(const ModbusSettings &settings, QObject *parent) : ModbusEngine(nullptr, parent)
{
    static_cast<ModbusLibrary *>(backend)->setExtraPorts(settings.extraPorts);
    setConfig(settings);
}

ModbusEngine::ModbusEngine(ModbusBackend *layer, QObject *parent)
    : QObject(parent), pause([](unsigned long ms) { QThread::msleep(ms); })
{
    if (!layer) {
        ownBackend = std::make_unique<ModbusLibrary>();
        layer = ownBackend.get();
    }
    backend = layer;
    backend->setMonitor(&trafficLog, &busStats);
}

ModbusEngine::~ModbusEngine()
{
    releaseContext();
    backend->setMonitor(nullptr, nullptr);
}

void ModbusEngine::setPause(Pause newPause)
{
    pause = std::move(newPause);
}

void ModbusEngine::setConfig(const ModbusSettings &newConfig)
{
    config = newConfig;
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
    tcpOpen = false;
}

void ModbusEngine::disconnectPort()
{
    releaseContext();
    connected = false;
}

bool ModbusEngine::unitAccepted() const
{
    // RTU over TCP carries serial line frames.
    const int highest = connectionType == ConnectionType::Tcp ? maxTcpUnit : maxSerialUnit;
    return unit >= 0 && unit <= highest;
}

bool ModbusEngine::retryAllowed(unsigned int attempt)
{
    if (attempt > 2)
        return false;
    if (overTcp())
        return true;
    return connected && reopenSerial();
}

unsigned long ModbusEngine::lineSilenceMs() const
{
    if (connectionType != ConnectionType::Serial || serial.baud <= 0)
        return 0;
    // 11 bits a character; above 19200 baud the line keeps a fixed 1.75 ms.
    const double ms = serial.baud > 19200 ? 1.75 : 3.5 * 11 * 1000.0 / serial.baud;
    return static_cast<unsigned long>(std::ceil(ms));
}

void ModbusEngine::pauseBeforeTransfer()
{
    const unsigned long ms = qMax(static_cast<unsigned long>(config.pauseMs), lineSilenceMs());
    if (ms > 0)
        pause(ms);
}

ModbusError ModbusEngine::enter(Access access)
{
    if (access == Access::Read)
        pauseBeforeTransfer();
    if (!ctx)
        return ModbusError::NotConnected;
    if (access == Access::Write)
        pauseBeforeTransfer();
    return ModbusError::None;
}

ModbusError ModbusEngine::refuse(Access access, ModbusError reason)
{
    const ModbusError link = enter(access);
    return link == ModbusError::None ? reason : link;
}

bool ModbusEngine::openTcp(bool *reused)
{
    *reused = keepTcpOpen() && tcpOpen;
    return *reused || checkTcpHost();
}

void ModbusEngine::closeTcp()
{
    backend->modbus_close(ctx);
    tcpOpen = false;
}

ModbusOutcome ModbusEngine::transact(const RetryLines &lines, bool pauseOnRetry, const Requests &requests,
                                     ModbusError mismatch)
{
    int next = 0;
    for (unsigned int attempt = 0;; ++attempt) {
        if (attempt > 0 && pauseOnRetry)
            pauseBeforeTransfer();
        // A unit the library refuses would leave the context without one, and a
        // serial transfer then aborts inside the library: refuse it before the bus.
        if (!unitAccepted())
            return ModbusOutcome(ModbusError::UnitRefused);
        const bool tcpLink = overTcp();
        bool reused = false;
        if (tcpLink && !openTcp(&reused))
            return ModbusOutcome(ModbusError::HostUnreachable);
        if (backend->modbus_set_slave(ctx, unit) < 0) {
            if (tcpLink)
                closeTcp();
            return ModbusOutcome(ModbusError::UnitRefused);
        }
        int rc = 0;
        int errnum = 0;
        bool failed = false;
        for (const int first = next; next < requests.count; ++next) {
            // Back-to-back frames on a serial line need the silence between them.
            if (next > first && lineSilenceMs() > 0)
                pause(lineSilenceMs());
            rc = requests.send(next);
            errnum = backend->lastError();
            if (reused && rc < 0 && isDroppedLink(errnum)) {
                // The peer closed the kept connection while it idled: once
                // more on a fresh one, before anything is reported.
                closeTcp();
                if (!checkTcpHost())
                    return ModbusOutcome(ModbusError::HostUnreachable);
                rc = requests.send(next);
                errnum = backend->lastError();
            }
            reused = false;
            if (!requests.accepted(next, rc)) {
                failed = true;
                break;
            }
            if (requests.last && requests.last(next)) {
                next = requests.count;
                break;
            }
        }
        // A kept connection goes after a failure too: a late reply must not
        // be taken for the next one.
        if (tcpLink && (failed || !keepTcpOpen()))
            closeTcp();
        if (!failed)
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
    return transfer(Access::Read, request);
}

ModbusOutcome ModbusEngine::write(const TransferRequest &request)
{
    return transfer(Access::Write, request);
}

QVector<ModbusEngine::Run> ModbusEngine::runs(const TransferRequest &request, bool writing) const
{
    const int limit = request.singleWrites ? 1 : backend->requestLimit(request.table, writing, request.wordSize);
    const int span = qMax(1, request.valueSpan);
    // Whole values in every request, where one request can hold a value.
    const int step = request.count <= limit ? request.count : limit >= span ? limit / span * span : qMax(1, limit);
    QVector<Run> out;
    for (int first = 0; first < request.count; first += step)
        out.append({first, qMin(step, request.count - first)});
    return out;
}

ModbusWords ModbusEngine::transfer(Access access, const TransferRequest &request)
{
    const ModbusError link = enter(access);
    if (link != ModbusError::None)
        return ModbusOutcome(link);
    const bool reading = access == Access::Read;
    const bool readOnlyTable =
            request.table == ModbusTable::InputRegisters || request.table == ModbusTable::DiscreteInputs;
    if (request.count <= 0 || (!reading && (readOnlyTable || request.words.size() != request.wordCount())))
        return ModbusOutcome(ModbusError::InvalidRequest);
    if (!request.bits() && request.wordSize != 16 && request.wordSize != 32)
        return ModbusOutcome(ModbusError::RegisterSize);
    if (request.singleWrites && (request.table != ModbusTable::HoldingRegisters || request.wordSize != 16))
        return ModbusOutcome(ModbusError::InvalidRequest);

    QVector<quint16> words = reading ? QVector<quint16>(request.wordCount(), 0) : request.words;
    const QVector<Run> plan = runs(request, !reading);
    static const RetryLines readLines{"Reg numb retransmission attempt number : ",
                                      "CRC retransmission attempt number : "};
    static const RetryLines writeLines{"write Reg numb retransmission attempt number : ",
                                       "write CRC retransmission attempt number : "};
    const Requests requests{int(plan.size()),
                            [&](int i) { return toWire(access, request, plan.at(i), words); },
                            [&](int i, int rc) { return rc == plan.at(i).count; },
                            {}};
    const ModbusOutcome outcome =
            transact(reading ? readLines : writeLines, true, requests, ModbusError::CountMismatch);
    if (!outcome.ok() || !reading)
        return outcome;
    return ModbusWords(outcome, words);
}

int ModbusEngine::toWire(Access access, const TransferRequest &request, const Run &run, QVector<quint16> &words)
{
    const bool wide = request.wordSize == 32 && !request.bits();
    const int address = request.address + run.first;
    quint16 *at = words.data() + run.first * (wide ? 2 : 1);
    const bool reading = access == Access::Read;
    switch (request.table) {
    case ModbusTable::Coils:
    case ModbusTable::DiscreteInputs: {
        QVector<uint8_t> bits(run.count, 0);
        if (reading) {
            const int rc = request.table == ModbusTable::Coils
                    ? backend->modbus_read_bits(ctx, address, run.count, bits.data())
                    : backend->modbus_read_input_bits(ctx, address, run.count, bits.data());
            for (int i = 0; i < qMin(rc, run.count); ++i)
                at[i] = bits.at(i) ? 1 : 0;
            return rc;
        }
        for (int i = 0; i < run.count; ++i)
            bits[i] = at[i] ? 1 : 0;
        return run.count == 1 ? backend->modbus_write_bit(ctx, address, bits.at(0))
                              : backend->modbus_write_bits(ctx, address, run.count, bits.constData());
    }
    case ModbusTable::InputRegisters:
        return wide ? backend->modbus_read_input_registers_32(ctx, address, run.count, at)
                    : backend->modbus_read_input_registers(ctx, address, run.count, at);
    case ModbusTable::HoldingRegisters: break;
    }
    if (reading)
        return wide ? backend->modbus_read_registers_32(ctx, address, run.count, at)
                    : backend->modbus_read_registers(ctx, address, run.count, at);
    if (!wide)
        return request.singleWrites ? backend->modbus_write_register(ctx, address, at[0])
                                    : backend->modbus_write_registers(ctx, address, run.count, at);
    QVector<quint32> packed(run.count);
    for (int i = 0; i < run.count; ++i)
        packed[i] = at[2 * i] | (static_cast<quint32>(at[2 * i + 1]) << 16);
    return backend->modbus_write_registers_32(ctx, address, run.count, packed.constData());
}

ModbusOutcome ModbusEngine::maskWrite(int address, quint16 andMask, quint16 orMask)
{
    const ModbusError link = enter(Access::Write);
    if (link != ModbusError::None)
        return ModbusOutcome(link);
    static const RetryLines lines{"mask write Reg numb retransmission attempt number : ",
                                  "mask write CRC retransmission attempt number : "};
    const Requests requests{1,
                            [&](int) { return backend->modbus_mask_write_register(ctx, address, andMask, orMask); },
                            [](int, int rc) { return rc == 1; },
                            {}};
    return transact(lines, true, requests, ModbusError::CountMismatch);
}

ModbusBytes ModbusEngine::reportSlaveId()
{
    if (!ctx)
        return ModbusOutcome(ModbusError::NotConnected);
    uint8_t buffer[256] = {};
    int received = 0;
    static const RetryLines lines{"identify unknow retransmission attempt number : ",
                                  "identify crc retransmission attempt number : "};
    const Requests requests{1,
                            [&](int) { return received = backend->modbus_report_slave_id(ctx, buffer); },
                            [](int, int rc) { return rc >= 1 && rc <= 254; },
                            {}};
    const ModbusOutcome outcome = transact(lines, false, requests, ModbusError::ReportLength);
    if (!outcome.ok())
        return outcome;
    return ModbusBytes(outcome, QByteArray(reinterpret_cast<const char *>(buffer), received));
}

ModbusDeviceId ModbusEngine::readDeviceIdentification(int category)
{
    if (!ctx)
        return ModbusOutcome(ModbusError::NotConnected);
    if (category < 1 || category > 3)
        return ModbusOutcome(ModbusError::InvalidRequest);
    ModbusDeviceId result;
    int objectId = 0;
    bool done = false;
    uint8_t pdu[256] = {};
    static const RetryLines lines{"device identification unknow retransmission attempt number : ",
                                  "device identification crc retransmission attempt number : "};
    const auto accepted = [&](int i, int rc) {
        DeviceIdPage page;
        if (rc <= 0 || !parseDeviceIdReply(QByteArray(reinterpret_cast<const char *>(pdu), rc), &page))
            return false;
        if (i == 0)
            result.conformity = page.conformity;
        result.objects += page.objects;
        // A device that points back (or in place) would keep us asking.
        done = !page.moreFollows || page.nextObjectId <= objectId;
        objectId = page.nextObjectId;
        return true;
    };
    const Requests requests{maxDeviceIdRequests,
                            [&](int) { return backend->modbus_read_device_id(ctx, category, objectId, pdu); }, accepted,
                            [&](int) { return done; }};
    const ModbusOutcome outcome = transact(lines, false, requests, ModbusError::ReportLength);
    if (!outcome.ok())
        return outcome;
    return result;
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
    return connectOverTcp(link, ConnectionType::Tcp);
}

ModbusOutcome ModbusEngine::connectRtuOverTcp(const TcpLink &link)
{
    return connectOverTcp(link, ConnectionType::RtuOverTcp);
}

ModbusOutcome ModbusEngine::connectOverTcp(const TcpLink &link, ConnectionType type)
{
    releaseContext();
    const QByteArray host = link.host.toLatin1();
    const bool stream = type == ConnectionType::RtuOverTcp;
    ctx = stream ? backend->modbus_new_rtu_tcp(host.constData(), link.port)
                 : backend->modbus_new_tcp(host.constData(), link.port);
    tcp = link;
    unit = link.unit;
    if (ctx && stream) {
        ModbusTimeValue wait;
        wait.tv_usec = static_cast<int32_t>(qBound(1, link.timeout, 10000) * 1000);
        backend->modbus_set_timeout_begin(ctx, &wait);
    }

    // A host text the library refuses gives no context; that is no connection.
    const ConnectionType before = connectionType;
    connectionType = type;
    if (ctx && checkTcpHost()) {
        if (!keepTcpOpen())
            closeTcp();
        connected = true;
        return ModbusOutcome();
    }
    connectionType = before;
    qDebug().noquote() << QString::fromUtf8("Błąd: Nie udało się nawiązać połączenia z hostem TCP!");
    if (ctx)
        backend->modbus_free(ctx);
    ctx = nullptr;
    connected = false;
    return ModbusOutcome(ModbusError::TcpConnectFailed);
}

bool ModbusEngine::checkTcpHost()
{
    // A device server may take one client only: the stream is its own probe.
    if (connectionType == ConnectionType::RtuOverTcp) {
        tcpOpen = backend->modbus_connect(ctx) == 0;
        return tcpOpen;
    }
    QTcpSocket socket;
    socket.connectToHost(tcp.host, static_cast<quint16>(tcp.port), QIODevice::ReadWrite,
                         QAbstractSocket::AnyIPProtocol);
    // A negative wait would never end.
    const bool reached = socket.waitForConnected(qMax(0, tcp.timeout));
    if (reached) {
        socket.close();
        tcpOpen = backend->modbus_connect(ctx) == 0;
    } else {
        socket.abort();
    }
    return reached;
}

void ModbusEngine::beginScan(const ScanPlan &plan)
{
    saved = {connected, connectionType, serial, tcp, unit};
    releaseContext();
    connected = false;
    scanPlan = plan;
    scanBaud = 0;
    scanMode = -1;
}

bool ModbusEngine::openScanLink(const ScanStep &step)
{
    if (ctx && (!scanPlan.serial() || (step.baud == scanBaud && step.mode == scanMode)))
        return true;
    releaseContext();
    scanBaud = 0;
    scanMode = -1;
    if (scanPlan.serial()) {
        QString portName;
        if (!findPort(scanPlan.port, &portName) || portName.startsWith(QLatin1String("LPT")))
            return false;
        const LineMode line = lineModeFor(static_cast<qint16>(step.mode));
        ctx = backend->modbus_new_rtu(portName.toLatin1().constData(), step.baud, line.parity, 8, line.stopBits);
    } else {
        const QByteArray host = scanPlan.host.toLatin1();
        ctx = scanPlan.link == ScanLink::RtuOverTcp ? backend->modbus_new_rtu_tcp(host.constData(), scanPlan.tcpPort)
                                                    : backend->modbus_new_tcp(host.constData(), scanPlan.tcpPort);
    }
    if (!ctx)
        return false;
    ModbusTimeValue wait;
    wait.tv_usec = static_cast<int32_t>(qBound(1, scanPlan.timeoutMs, 10000) * 1000);
    backend->modbus_set_timeout_begin(ctx, &wait);
    if (backend->modbus_connect(ctx) != 0) {
        releaseContext();
        return false;
    }
    scanBaud = step.baud;
    scanMode = step.mode;
    return true;
}

ProbeAnswer ModbusEngine::probe(const ScanStep &step)
{
    ProbeAnswer answer;
    if (!openScanLink(step))
        return answer;
    if (scanPlan.serial()) {
        // The 3.5-character silence before a frame, at this step's baud rate.
        const double ms = step.baud > 19200 ? 1.75 : 3.5 * 11 * 1000.0 / qMax(1, step.baud);
        pause(static_cast<unsigned long>(std::ceil(ms)));
    }
    backend->modbus_flush(ctx);
    if (backend->modbus_set_slave(ctx, step.unit) < 0)
        return answer;
    uint16_t value = 0;
    if (backend->modbus_read_registers(ctx, scanPlan.probeAddress, 1, &value) == 1) {
        answer.answered = true;
    } else if (backend->lastExceptionCode() != 0) {
        answer.answered = true;
        answer.exceptionCode = static_cast<quint8>(backend->lastExceptionCode());
    } else if (!scanPlan.serial() && isDroppedLink(backend->lastError())) {
        releaseContext(); // opened again by the next probe
    }
    return answer;
}

void ModbusEngine::endScan()
{
    releaseContext();
    connectionType = saved.type;
    serial = saved.serial;
    tcp = saved.tcp;
    unit = saved.unit;
    connected = false;
    if (!saved.connected)
        return;
    switch (saved.type) {
    case ConnectionType::Serial: connectSerial(saved.serial); break;
    case ConnectionType::Tcp: connectTcp(saved.tcp); break;
    case ConnectionType::RtuOverTcp: connectRtuOverTcp(saved.tcp); break;
    }
}
