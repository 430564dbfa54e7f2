// The engine against a scripted access layer: connect rules, retry rule,
// settings, identification bytes and the port report.
#include <QtTest>
#include <QCoreApplication>
#include <QSettings>
#include <QTcpServer>
#include <cerrno>
#include <climits>
#include <set>

#include "replyengine.h"
#include "modbusfixtures.h"
#include "modbusconfig.h"

namespace {

using namespace modbusfix;

struct Transfer
{
    int rc = 0;
    int error = 0;
};

class FakeBackend : public ModbusBackend
{
public:
    QList<QextPortInfo> ports;
    int connectResult = 0;
    int setSlaveResult = 0;
    bool newFails = false;
    // Scripted results, used in order; the last one repeats.
    QList<Transfer> transfers;
    QVector<quint16> registers = QVector<quint16>(1000, 0);
    QByteArray slaveIdData;
    QList<QByteArray> deviceIdPages; // reply PDUs in order; the last one repeats
    ModbusTimeValue timeout;
    int limit = INT_MAX; // the script has no frames: any count fits one request

    QStringList calls;
    int transferCount = 0;
    int lastNb = -1;
    QStringList asked; // each transfer's name and count
    QVector<quint16> written;
    QVector<quint32> written32;
    QStringList faults;

    FakeBackend()
    {
        timeout.tv_sec = 0;
        timeout.tv_usec = 500000;
    }
    ~FakeBackend() override
    {
        if (!live.empty())
            qWarning("FakeBackend: %d context(s) never freed", int(live.size()));
    }

    void addPort(const QString &name, const QString &friendName = QString())
    {
        QextPortInfo info;
        info.portName = name;
        info.friendName = friendName.isEmpty() ? QStringLiteral("Port (%1)").arg(name) : friendName;
        ports.append(info);
    }
    int liveContexts() const { return int(live.size()); }

    QList<QextPortInfo> getPorts() override { return ports; }

    ModbusHandle modbus_new_rtu(const char *device, int baud, char parity, int dataBits, int stopBits) override
    {
        calls << QStringLiteral("new_rtu %1 %2 %3 %4 %5")
                         .arg(QString::fromLatin1(device))
                         .arg(baud)
                         .arg(QLatin1Char(parity))
                         .arg(dataBits)
                         .arg(stopBits);
        return newHandle();
    }
    ModbusHandle modbus_new_tcp(const char *host, int port) override
    {
        calls << QStringLiteral("new_tcp %1 %2").arg(QString::fromLatin1(host)).arg(port);
        return newHandle();
    }
    int modbus_connect(ModbusHandle ctx) override
    {
        check(ctx, "connect");
        calls << QStringLiteral("connect");
        if (connectResult < 0)
            error = ENOENT;
        return connectResult;
    }
    void modbus_close(ModbusHandle ctx) override
    {
        check(ctx, "close");
        calls << QStringLiteral("close");
    }
    void modbus_free(ModbusHandle ctx) override
    {
        check(ctx, "free");
        calls << QStringLiteral("free");
        live.erase(ctx);
    }
    int modbus_set_slave(ModbusHandle ctx, int slave) override
    {
        check(ctx, "set_slave");
        calls << QStringLiteral("set_slave %1").arg(slave);
        return setSlaveResult;
    }
    void modbus_get_timeout_begin(ModbusHandle ctx, ModbusTimeValue *value) override
    {
        check(ctx, "get_timeout");
        *value = timeout;
    }
    void modbus_set_timeout_begin(ModbusHandle ctx, const ModbusTimeValue *value) override
    {
        check(ctx, "set_timeout");
        timeout = *value;
        calls << QStringLiteral("set_timeout %1 %2").arg(value->tv_sec).arg(value->tv_usec);
    }
    int modbus_read_registers(ModbusHandle ctx, int addr, int nb, uint16_t *dest) override
    {
        const int rc = transfer(ctx, "read", nb);
        for (int i = 0; i < qMin(rc, nb); ++i)
            dest[i] = registers.value(addr + i);
        return rc;
    }
    int modbus_read_registers_32(ModbusHandle ctx, int addr, int nb, uint16_t *dest) override
    {
        const int rc = transfer(ctx, "read32", nb);
        for (int i = 0; i < qMin(rc, nb); ++i) {
            dest[2 * i] = registers.value(2 * (addr + i));
            dest[2 * i + 1] = registers.value(2 * (addr + i) + 1);
        }
        return rc;
    }
    int modbus_write_registers(ModbusHandle ctx, int, int nb, const uint16_t *src) override
    {
        written = QVector<quint16>(src, src + nb);
        return transfer(ctx, "write", nb);
    }
    int modbus_write_registers_32(ModbusHandle ctx, int, int nb, const uint32_t *src) override
    {
        written32 = QVector<quint32>(src, src + nb);
        return transfer(ctx, "write32", nb);
    }
    int modbus_report_slave_id(ModbusHandle ctx, uint8_t *dest) override
    {
        const int rc = transfer(ctx, "report", slaveIdData.size());
        memcpy(dest, slaveIdData.constData(), size_t(qMin(256, int(slaveIdData.size()))));
        return rc;
    }
    int requestLimit(ModbusTable, bool, int) const override { return limit; }
    int modbus_read_bits(ModbusHandle c, int addr, int nb, uint8_t *d) override
    {
        return fill(c, "read_bits", addr, nb, d);
    }
    int modbus_read_input_bits(ModbusHandle c, int addr, int nb, uint8_t *d) override
    {
        return fill(c, "read_input_bits", addr, nb, d);
    }
    int modbus_read_input_registers(ModbusHandle c, int addr, int nb, uint16_t *d) override
    {
        return fill(c, "read_input", addr, nb, d);
    }
    int modbus_read_input_registers_32(ModbusHandle c, int addr, int nb, uint16_t *d) override
    {
        return fill(c, "read_input32", 2 * addr, nb, d, 2);
    }
    int modbus_write_bit(ModbusHandle c, int, int on) override { return keep(c, "write_bit", {quint16(on)}); }
    int modbus_write_bits(ModbusHandle c, int, int nb, const uint8_t *s) override
    {
        return keep(c, "write_bits", QVector<quint16>(s, s + nb));
    }
    int modbus_write_register(ModbusHandle c, int, uint16_t w) override
    {
        written << w;
        return transfer(c, "write_register", 1);
    }
    int modbus_mask_write_register(ModbusHandle c, int, uint16_t andMask, uint16_t orMask) override
    {
        written = {andMask, orMask};
        return transfer(c, "mask", 1);
    }
    int modbus_read_device_id(ModbusHandle ctx, int, int, uint8_t *dest) override
    {
        const QByteArray page = deviceIdPages.value(qMin(transferCount, deviceIdPages.size() - 1));
        memcpy(dest, page.constData(), size_t(page.size()));
        return transfer(ctx, "device_id", page.size());
    }
    QString modbus_strerror(int errnum) override { return QStringLiteral("fault %1").arg(errnum); }
    int lastError() const override { return error; }

private:
    ModbusHandle newHandle()
    {
        if (newFails)
            return nullptr;
        ModbusHandle h = reinterpret_cast<ModbusHandle>(quintptr(++handles) * 16);
        live.insert(h);
        return h;
    }
    void check(ModbusHandle ctx, const char *what)
    {
        if (!live.count(ctx))
            faults << QStringLiteral("%1 on a dead context").arg(QLatin1String(what));
    }
    // Reads answer from registers (bits: 0 or 1), units a value; writes keep what they send.
    template<typename T>
    int fill(ModbusHandle ctx, const char *what, int from, int nb, T *dest, int units = 1)
    {
        const int rc = transfer(ctx, what, nb);
        for (int i = 0; i < units * qMin(rc, nb); ++i)
            dest[i] = sizeof(T) == 1 ? T(registers.value(from + i) != 0) : T(registers.value(from + i));
        return rc;
    }
    int keep(ModbusHandle ctx, const char *what, const QVector<quint16> &words)
    {
        written = words;
        return transfer(ctx, what, int(words.size()));
    }
    int transfer(ModbusHandle ctx, const char *what, int nb)
    {
        check(ctx, what);
        calls << QLatin1String(what);
        asked << QStringLiteral("%1 %2").arg(QLatin1String(what)).arg(nb);
        lastNb = nb;
        const Transfer t =
                transfers.isEmpty() ? Transfer{nb, 0} : transfers.at(qMin(transferCount, transfers.size() - 1));
        ++transferCount;
        error = t.error;
        return t.rc == -2 ? nb : t.rc; // -2: as asked
    }

    quintptr handles = 0;
    std::set<ModbusHandle> live;
    int error = 0;
};

const Transfer ok{-2, 0};

// COM1 at 9600 baud (3), 8N1 (3), unit 7, 200 ms reply time-out (20).
t_GetArray serialParams(const QByteArray &port = "COM1", const QByteArray &baud = "3", const QByteArray &mode = "3",
                        const QByteArray &timeout = "20")
{
    return serialConnect(QString::fromUtf8(port), "7", baud, mode, timeout);
}

// 127.0.0.1, unit 3.
t_GetArray tcpParams(quint16 port, int timeout = 1000)
{
    return tcpConnect(port, timeout, "3");
}

t_GetArray readParams(const QByteArray &valuesCnt = "2")
{
    t_GetArray p = transfer(10, 0);
    p.insert("valuesCnt", valuesCnt);
    return p;
}

// The engine on the scripted layer, with its pauses recorded instead of slept.
class TestEngine : public ReplyEngine
{
public:
    explicit TestEngine(ModbusBackend *backend) : ReplyEngine(backend)
    {
        setPause([this](unsigned long ms) { pauses << int(ms); });
    }
    QList<int> pauses;
};

const QByteArray &notConnected = reply::notConnected;
const QByteArray &inputError = reply::inputError;
const QByteArray &timeoutReply = reply::timeout;
const QByteArray &mismatch = reply::mismatch;

} // namespace

Q_DECLARE_METATYPE(Transfer)
Q_DECLARE_METATYPE(ModbusError)

class TestModbusEngine : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void idleReplies();
    void connectReplies_data();
    void connectReplies();
    void refusedConnectKeepsLink();
    void portMatchAndLineMode_data();
    void portMatchAndLineMode();
    void serialSettingsWritten();
    void timeoutScaling_data();
    void timeoutScaling();
    void tcpConnectAndProbe();

    void retryRule_data();
    void retryRule();
    void retryLoop_data();
    void retryLoop();
    void errorReplies_data();
    void errorReplies();
    void serialReopenFailsLeavesIdle();

    void refusedRequests_data();
    void refusedRequests();
    void registersAsked_data();
    void registersAsked();
    void writeEncoding_data();
    void writeEncoding();
    void pauses();
    void readWordLayout();

    void identification_data();
    void identification();
    void identificationFailureKeepsId();
    void unitAddressRange_data();
    void unitAddressRange();

    void portReport_data();
    void portReport();
    void portReportFollowsConnection();
    void extraPortList_data();
    void extraPortList();

    void requestsOfOneCall_data();
    void requestsOfOneCall();
    void pauseRule_data();
    void pauseRule();
    void configKeys_data();
    void configKeys();
    void newFunctionsRefused_data();
    void newFunctionsRefused();
    void todaysRepliesKept_data();
    void todaysRepliesKept();

private:
    void connectSerial(TestEngine &engine, FakeBackend &fake);
};

void TestModbusEngine::initTestCase()
{
    QCoreApplication::setOrganizationName(QStringLiteral("Tavik"));
    QCoreApplication::setApplicationName(QStringLiteral("Brio"));
}

void TestModbusEngine::init()
{
    QSettings().clear();
}

void TestModbusEngine::connectSerial(TestEngine &engine, FakeBackend &fake)
{
    fake.addPort(QStringLiteral("COM1"));
    t_GetArray p = serialParams();
    QCOMPARE(engine.connectPort(p), reply::serialConnected);
    fake.calls.clear();
}

void TestModbusEngine::idleReplies()
{
    FakeBackend fake;
    TestEngine engine(&fake);
    QCOMPARE(engine.disconnectPort(), reply::disconnected);
    QVERIFY(fake.calls.isEmpty());
    t_GetArray p = readParams();
    QCOMPARE(engine.readRegisters(p), notConnected);
    p.insert("regVals", "[1,2]");
    QCOMPARE(engine.writeRegisters(p), notConnected);
    QCOMPARE(engine.identifySlave(), notConnected);

    connectSerial(engine, fake);
    QCOMPARE(engine.disconnectPort(), reply::disconnected);
    QCOMPARE(fake.calls, QStringList({"close", "free"}));
    QCOMPARE(engine.readRegisters(p), notConnected);
    QCOMPARE(engine.writeRegisters(p), notConnected);
    QCOMPARE(engine.identifySlave(), notConnected);
    QCOMPARE(engine.getConnectionType(), ConnectionType::Serial);
    QVERIFY(fake.faults.isEmpty());
}

void TestModbusEngine::connectReplies_data()
{
    QTest::addColumn<t_GetArray>("params");
    QTest::addColumn<QStringList>("ports");
    QTest::addColumn<int>("connectResult");
    QTest::addColumn<bool>("newFails");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("connected");

    const QStringList com1{"COM1"};
    t_GetArray noType = serialParams();
    noType.remove("connType");
    QTest::newRow("no connType") << noType << com1 << 0 << false << inputError << false;
    t_GetArray capital = serialParams();
    capital.insert("connType", "Serial");
    QTest::newRow("Serial is TCP") << capital << com1 << 0 << false << inputError << false;
    t_GetArray fewer = serialParams();
    fewer.remove("timeout");
    QTest::newRow("serial missing timeout") << fewer << com1 << 0 << false << inputError << false;
    t_GetArray noFunc = serialParams();
    noFunc.remove("func");
    noFunc.remove("mode");
    QTest::newRow("serial five entries") << noFunc << com1 << 0 << false << inputError << false;
    t_GetArray extra = serialParams();
    extra.insert("other", "x");
    QTest::newRow("serial extra entries") << extra << com1 << 0 << false << reply::serialConnected << true;
    QTest::newRow("empty port name") << serialParams("") << com1 << 0 << false << inputError << false;
    QTest::newRow("no ports") << serialParams() << QStringList() << 0 << false << reply::portNotFound << false;
    QTest::newRow("no match") << serialParams("COM4") << com1 << 0 << false << reply::portNotFound << false;
    QTest::newRow("printer port") << serialParams("LPT1") << QStringList{"COM1", "LPT1"} << 0 << false
                                  << reply::invalidPort << false;
    QTest::newRow("baud 11") << serialParams("COM1", "11") << com1 << 0 << false << reply::baudError << false;
    QTest::newRow("baud -1") << serialParams("COM1", "-1") << com1 << 0 << false << reply::baudError << false;
    QTest::newRow("baud 10") << serialParams("COM1", "10") << com1 << 0 << false << reply::serialConnected << true;
    QTest::newRow("line will not open") << serialParams() << com1 << -1 << false << reply::serialFailed << false;
    QTest::newRow("library refuses line") << serialParams() << com1 << 0 << true << reply::serialFailed << false;
    t_GetArray tcpMissing = tcpParams(502);
    tcpMissing.remove("port_tcp");
    QTest::newRow("tcp missing port") << tcpMissing << com1 << 0 << false << inputError << false;
    t_GetArray tcpEmptyType = tcpParams(502);
    tcpEmptyType.insert("connType", "");
    tcpEmptyType.remove("timeout");
    QTest::newRow("empty connType is TCP") << tcpEmptyType << com1 << 0 << false << inputError << false;
}

void TestModbusEngine::connectReplies()
{
    QFETCH(t_GetArray, params);
    QFETCH(QStringList, ports);
    QFETCH(int, connectResult);
    QFETCH(bool, newFails);
    QFETCH(QByteArray, reply);
    QFETCH(bool, connected);

    FakeBackend fake;
    for (const QString &port : ports)
        fake.addPort(port);
    fake.connectResult = connectResult;
    fake.newFails = newFails;
    {
        TestEngine engine(&fake);
        QCOMPARE(engine.connectPort(params), reply);
        QCOMPARE(engine.isConnected(), connected);
        QCOMPARE(engine.hasContext(), connected);
        if (!connected) {
            t_GetArray p = readParams();
            QCOMPARE(engine.readRegisters(p), notConnected);
        }
    }
    QCOMPARE(fake.liveContexts(), 0);
    QVERIFY2(fake.faults.isEmpty(), qPrintable(fake.faults.join(", ")));
}

void TestModbusEngine::refusedConnectKeepsLink()
{
    FakeBackend fake;
    TestEngine engine(&fake);
    connectSerial(engine, fake);
    fake.addPort(QStringLiteral("LPT1"));
    t_GetArray lpt = serialParams("LPT1");
    QCOMPARE(engine.connectPort(lpt), reply::invalidPort);
    t_GetArray baud = serialParams("COM1", "12");
    QCOMPARE(engine.connectPort(baud), reply::baudError);
    QVERIFY(fake.calls.isEmpty());
    QVERIFY(engine.isConnected());
    t_GetArray p = readParams("1");
    QCOMPARE(engine.readRegisters(p), QByteArray("[0]"));
}

void TestModbusEngine::portMatchAndLineMode_data()
{
    QTest::addColumn<QStringList>("ports");
    QTest::addColumn<QByteArray>("portSelect");
    QTest::addColumn<QByteArray>("baud");
    QTest::addColumn<QByteArray>("mode");
    QTest::addColumn<QString>("opened");

    const QStringList two{"COM10", "COM1"};
    QTest::newRow("exact name wins") << two << QByteArray("COM1") << QByteArray("0") << QByteArray("3")
                                     << "new_rtu COM1 1200 N 8 1";
    QTest::newRow("else the first holding it")
            << two << QByteArray("OM") << QByteArray("0") << QByteArray("3") << "new_rtu COM10 1200 N 8 1";
    QTest::newRow("8N2") << two << QByteArray("COM10") << QByteArray("3") << QByteArray("0")
                         << "new_rtu COM10 9600 N 8 2";
    QTest::newRow("8E1") << two << QByteArray("COM10") << QByteArray("7") << QByteArray("1")
                         << "new_rtu COM10 115200 E 8 1";
    QTest::newRow("8O1") << two << QByteArray("COM10") << QByteArray("10") << QByteArray("2")
                         << "new_rtu COM10 1000000 O 8 1";
    QTest::newRow("mode 7") << two << QByteArray("COM10") << QByteArray("4") << QByteArray("7")
                            << "new_rtu COM10 19200 N 8 1";
    QTest::newRow("mode 65536 is 0") << two << QByteArray("COM10") << QByteArray("4") << QByteArray("65536")
                                     << "new_rtu COM10 19200 N 8 2";
    QTest::newRow("device path by part") << QStringList{"/dev/ttyS0", "/dev/ttyUSB0"} << QByteArray("USB0")
                                         << QByteArray("5") << QByteArray("3") << "new_rtu /dev/ttyUSB0 38400 N 8 1";
}

void TestModbusEngine::portMatchAndLineMode()
{
    QFETCH(QStringList, ports);
    QFETCH(QByteArray, portSelect);
    QFETCH(QByteArray, baud);
    QFETCH(QByteArray, mode);
    QFETCH(QString, opened);

    FakeBackend fake;
    for (const QString &port : ports)
        fake.addPort(port);
    TestEngine engine(&fake);
    t_GetArray p = serialParams(portSelect, baud, mode);
    QCOMPARE(engine.connectPort(p), reply::serialConnected);
    QCOMPARE(fake.calls.value(0), opened);
    // The request text is what is stored, not the matched device.
    QCOMPARE(QSettings().value("portName").toString(), QString::fromUtf8(portSelect));
}

void TestModbusEngine::serialSettingsWritten()
{
    FakeBackend fake;
    TestEngine engine(&fake);
    t_GetArray missing = serialParams("COM3");
    QCOMPARE(engine.connectPort(missing), reply::portNotFound);
    QSettings settings;
    QCOMPARE(settings.value("Selected_Port").toString(), QStringLiteral("3"));
    QVERIFY(!settings.contains("portName"));
    QVERIFY(!settings.contains("slaveID"));

    fake.addPort(QStringLiteral("COM12"));
    t_GetArray p = serialParams("COM12", "6", "65537", "35");
    p.insert("slaveID", "65535");
    QCOMPARE(engine.connectPort(p), reply::serialConnected);
    settings.sync();
    QCOMPARE(settings.value("Selected_Port").toString(), QStringLiteral("12"));
    QCOMPARE(settings.value("portName").toString(), QStringLiteral("COM12"));
    QCOMPARE(settings.value("slaveID").toInt(), -1);
    QCOMPARE(settings.value("baudRate").toInt(), 6);
    QCOMPARE(settings.value("mode").toInt(), 1);
    QCOMPARE(settings.value("timeout").toInt(), 35);
    QVERIFY(!settings.contains("tcpIp"));
}

void TestModbusEngine::timeoutScaling_data()
{
    QTest::addColumn<QByteArray>("timeout");
    QTest::addColumn<QString>("applied");
    QTest::newRow("20") << QByteArray("20") << "set_timeout 3 200000";
    QTest::newRow("0") << QByteArray("0") << "set_timeout 3 0";
    QTest::newRow("150") << QByteArray("150") << "set_timeout 3 1500000";
    QTest::newRow("not a number") << QByteArray("x") << "set_timeout 3 0";
    QTest::newRow("product beyond 32 bits") << QByteArray("1000000") << "set_timeout 3 2147483647";
}

void TestModbusEngine::timeoutScaling()
{
    QFETCH(QByteArray, timeout);
    QFETCH(QString, applied);
    FakeBackend fake;
    fake.timeout.tv_sec = 3;
    fake.addPort(QStringLiteral("COM1"));
    TestEngine engine(&fake);
    t_GetArray p = serialParams("COM1", "3", "3", timeout);
    QCOMPARE(engine.connectPort(p), reply::serialConnected);
    QCOMPARE(fake.calls.last(), applied);
}

void TestModbusEngine::tcpConnectAndProbe()
{
    QTcpServer host;
    QVERIFY(host.listen(QHostAddress::LocalHost, 0));
    FakeBackend fake;
    TestEngine engine(&fake);
    t_GetArray p = tcpParams(host.serverPort());
    QCOMPARE(engine.connectPort(p), reply::tcpConnected);
    QCOMPARE(fake.calls,
             QStringList({QStringLiteral("new_tcp 127.0.0.1 %1").arg(host.serverPort()), "connect", "close"}));
    QSettings settings;
    QCOMPARE(settings.value("tcpIp").toString(), QStringLiteral("127.0.0.1"));
    QCOMPARE(settings.value("tcpPort").toInt(), int(host.serverPort()));
    QCOMPARE(settings.value("slaveID").toInt(), 3);
    QCOMPARE(settings.value("timeout").toInt(), 1000);
    QVERIFY(engine.isConnected());
    QCOMPARE(engine.getConnectionType(), ConnectionType::Tcp);

    // Each transaction probes, connects, transfers and closes.
    fake.calls.clear();
    t_GetArray r = readParams("2");
    QCOMPARE(engine.readRegisters(r), QByteArray("[0,0]"));
    QCOMPARE(fake.calls, QStringList({"connect", "set_slave 3", "read", "close"}));

    // The host went away: no transfer at all.
    host.close();
    fake.calls.clear();
    QCOMPARE(engine.readRegisters(r), reply::socketError);
    QCOMPARE(engine.identifySlave(), reply::socketError);
    r.insert("regVals", "[1,2]");
    QCOMPARE(engine.writeRegisters(r), reply::socketError);
    QVERIFY(fake.calls.filter(QRegularExpression("read|write|report")).isEmpty());

    // A failed TCP connect leaves the engine idle but keeps the type.
    t_GetArray again = tcpParams(host.serverPort(), 200);
    QCOMPARE(engine.connectPort(again), reply::tcpFailed);
    QVERIFY(!engine.isConnected());
    QVERIFY(!engine.hasContext());
    QCOMPARE(engine.getConnectionType(), ConnectionType::Tcp);
    QCOMPARE(fake.liveContexts(), 0);
    QVERIFY(fake.faults.isEmpty());
}

void TestModbusEngine::retryRule_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<Transfer>("result");
    QTest::addColumn<int>("tries");
    QTest::addColumn<QByteArray>("reply");

    const QByteArray protocol = "{\"error\":\"Protocol error! fault 112345690\"}";
    const QStringList ops{"read", "write", "identify"};
    for (const QString &op : ops) {
        const QByteArray name = op.toLatin1();
        QTest::newRow(name + " protocol fault") << op << Transfer{-1, 112345690} << 4 << protocol;
        QTest::newRow(name + " WSA time-out") << op << Transfer{-1, 10060} << 1 << timeoutReply;
        QTest::newRow(name + " EIO") << op << Transfer{-1, EIO} << 1 << timeoutReply;
        QTest::newRow(name + " ETIMEDOUT") << op << Transfer{-1, ETIMEDOUT} << 1 << timeoutReply;
        QTest::newRow(name + " reset by peer")
                << op << Transfer{-1, ECONNRESET} << 4
                << QByteArray("{\"error\":\"Protocol error! fault ") + QByteArray::number(ECONNRESET) + "\"}";
    }
    QTest::newRow("read short count") << "read" << Transfer{1, 0} << 4 << mismatch;
    QTest::newRow("write short count") << "write" << Transfer{1, 0} << 4 << mismatch;
    QTest::newRow("identify empty") << "identify" << Transfer{0, 0} << 4 << reply::unknownError;
    QTest::newRow("identify 255 bytes") << "identify" << Transfer{255, 0} << 4 << reply::unknownError;
}

void TestModbusEngine::retryRule()
{
    QFETCH(QString, operation);
    QFETCH(Transfer, result);
    QFETCH(int, tries);
    QFETCH(QByteArray, reply);

    QTcpServer host;
    QVERIFY(host.listen(QHostAddress::LocalHost, 0));
    FakeBackend fake;
    fake.slaveIdData = QByteArray(256, 'x');
    TestEngine engine(&fake);
    t_GetArray c = tcpParams(host.serverPort());
    QCOMPARE(engine.connectPort(c), reply::tcpConnected);
    fake.transfers = {result};

    t_GetArray p = readParams("2");
    p.insert("regVals", "[1,2]");
    QByteArray got;
    if (operation == QLatin1String("read"))
        got = engine.readRegisters(p);
    else if (operation == QLatin1String("write"))
        got = engine.writeRegisters(p);
    else
        got = engine.identifySlave();
    QCOMPARE(got, reply);
    QCOMPARE(fake.transferCount, tries);
}

void TestModbusEngine::retryLoop_data()
{
    QTest::addColumn<QString>("link"); // tcp, serial, or serial whose line will not reopen
    QTest::addColumn<QList<Transfer>>("results");
    QTest::addColumn<ModbusError>("error");
    QTest::addColumn<int>("tries");

    const Transfer fault{-1, 112345690};
    const Transfer noReply{-1, ETIMEDOUT};
    const Transfer short1{1, 0};
    QTest::newRow("at once") << "tcp" << QList<Transfer>{ok} << ModbusError::None << 1;
    QTest::newRow("on the last try") << "tcp" << QList<Transfer>{fault, short1, fault, ok} << ModbusError::None << 4;
    QTest::newRow("fault stays") << "tcp" << QList<Transfer>{fault} << ModbusError::ProtocolFault << 4;
    QTest::newRow("count stays") << "tcp" << QList<Transfer>{short1} << ModbusError::CountMismatch << 4;
    QTest::newRow("no reply ends it") << "tcp" << QList<Transfer>{fault, noReply} << ModbusError::NoReply << 2;
    QTest::newRow("serial reopens") << "serial" << QList<Transfer>{fault, short1, ok} << ModbusError::None << 3;
    QTest::newRow("serial fault stays") << "serial" << QList<Transfer>{fault} << ModbusError::ProtocolFault << 4;
    QTest::newRow("line gone") << "serial, gone" << QList<Transfer>{fault, ok} << ModbusError::ProtocolFault << 1;
    QTest::newRow("line gone, count") << "serial, gone" << QList<Transfer>{short1, ok} << ModbusError::CountMismatch
                                      << 1;
}

void TestModbusEngine::retryLoop()
{
    QFETCH(QString, link);
    QFETCH(QList<Transfer>, results);
    QFETCH(ModbusError, error);
    QFETCH(int, tries);

    QTcpServer host;
    QVERIFY(host.listen(QHostAddress::LocalHost, 0));
    FakeBackend fake;
    fake.addPort(QStringLiteral("COM1"));
    ModbusEngine engine(&fake);
    int pauses = 0;
    engine.setPause([&](unsigned long) { ++pauses; });
    SerialLink serial;
    serial.port = QStringLiteral("COM1");
    serial.baud = 9600;
    TcpLink tcp;
    tcp.host = QStringLiteral("127.0.0.1");
    tcp.port = host.serverPort();
    tcp.timeout = 1000;
    QVERIFY((link == QLatin1String("tcp") ? engine.connectTcp(tcp) : engine.connectSerial(serial)).ok());
    if (link.endsWith(QLatin1String("gone")))
        fake.ports.clear();
    fake.transfers = results;

    TransferRequest request;
    request.count = 2;
    const ModbusWords read = engine.read(request);
    QCOMPARE(read.error, error);
    QCOMPARE(read.libraryErrno, error == ModbusError::ProtocolFault ? 112345690 : 0);
    QCOMPARE(read.words.size(), read.ok() ? 2 : 0);
    QCOMPARE(fake.transferCount, tries);
    QCOMPARE(pauses, tries);
    QCOMPARE(engine.isConnected(), !link.endsWith(QLatin1String("gone")));
    QVERIFY(fake.faults.isEmpty());
}

void TestModbusEngine::errorReplies_data()
{
    QTest::addColumn<ModbusError>("error");
    QTest::addColumn<QByteArray>("reply");
    QTest::newRow("none") << ModbusError::None << QByteArray();
    QTest::newRow("invalid request") << ModbusError::InvalidRequest << inputError;
    QTest::newRow("unit refused") << ModbusError::UnitRefused << inputError;
    QTest::newRow("too many values") << ModbusError::TooManyValues << reply::tooManyRegisters;
    QTest::newRow("register size") << ModbusError::RegisterSize << reply::registerSize;
    QTest::newRow("value size") << ModbusError::ValueSize << reply::valueSize;
    QTest::newRow("value layout") << ModbusError::ValueLayout << reply::oneValueSize;
    QTest::newRow("float precision") << ModbusError::FloatPrecision << reply::floatPrecision;
    QTest::newRow("value list") << ModbusError::ValueList << reply::valuesError;
    QTest::newRow("not connected") << ModbusError::NotConnected << notConnected;
    QTest::newRow("port not found") << ModbusError::PortNotFound << reply::portNotFound;
    QTest::newRow("printer port") << ModbusError::PrinterPort << reply::invalidPort;
    QTest::newRow("baud rate") << ModbusError::BaudRate << reply::baudError;
    QTest::newRow("serial open") << ModbusError::SerialOpenFailed << reply::serialFailed;
    QTest::newRow("tcp connect") << ModbusError::TcpConnectFailed << reply::tcpFailed;
    QTest::newRow("host unreachable") << ModbusError::HostUnreachable << reply::socketError;
    QTest::newRow("no reply") << ModbusError::NoReply << timeoutReply;
    QTest::newRow("protocol fault") << ModbusError::ProtocolFault
                                    << QByteArray("{\"error\":\"Protocol error! Illegal \\\"data\\\" \\\\ \\u0001\"}");
    QTest::newRow("count mismatch") << ModbusError::CountMismatch << mismatch;
    QTest::newRow("report length") << ModbusError::ReportLength << reply::unknownError;
}

void TestModbusEngine::errorReplies()
{
    QFETCH(ModbusError, error);
    QFETCH(QByteArray, reply);
    QCOMPARE(modbusErrorReply(error, QStringLiteral("Illegal \"data\" \\ \u0001")), reply);
}

void TestModbusEngine::serialReopenFailsLeavesIdle()
{
    {
        // The port vanished: the step's reply, then nothing is connected.
        FakeBackend fake;
        TestEngine engine(&fake);
        connectSerial(engine, fake);
        fake.ports.clear();
        fake.transfers = {Transfer{-1, 112345690}};
        t_GetArray p = readParams("1");
        QCOMPARE(engine.readRegisters(p), QByteArray("{\"error\":\"Protocol error! fault 112345690\"}"));
        QCOMPARE(fake.transferCount, 1);
        QVERIFY(!engine.isConnected());
        QVERIFY(!engine.hasContext());
        QCOMPARE(engine.readRegisters(p), notConnected);
        QCOMPARE(fake.liveContexts(), 0);
    }
    {
        // The line will not reopen: the unconnected context stays, no more retries.
        FakeBackend fake;
        TestEngine engine(&fake);
        connectSerial(engine, fake);
        fake.transfers = {Transfer{1, 0}};
        fake.connectResult = -1;
        t_GetArray p = readParams("2");
        QCOMPARE(engine.readRegisters(p), mismatch);
        QVERIFY(!engine.isConnected());
        QVERIFY(engine.hasContext());
        fake.transfers = {Transfer{0, 0}};
        QCOMPARE(engine.identifySlave(), reply::unknownError);
        QCOMPARE(fake.transferCount, 2);
        // A reconnect through the public operation works once the line is back.
        fake.connectResult = 0;
        QVERIFY(engine.reopenSerial());
        QVERIFY(engine.isConnected());
        QVERIFY(fake.faults.isEmpty());
    }
}

void TestModbusEngine::refusedRequests_data()
{
    QTest::addColumn<bool>("write");
    QTest::addColumn<t_GetArray>("params");
    QTest::addColumn<QByteArray>("reply");
    for (const RefusedRequest &r : modbusfix::refusedRequests())
        QTest::newRow(r.name) << r.write << r.params << r.reply;
}

void TestModbusEngine::refusedRequests()
{
    QFETCH(bool, write);
    QFETCH(t_GetArray, params);
    QFETCH(QByteArray, reply);
    FakeBackend fake;
    TestEngine engine(&fake);
    connectSerial(engine, fake);
    QCOMPARE(write ? engine.writeRegisters(params) : engine.readRegisters(params), reply);
    QCOMPARE(fake.transferCount, 0);
    QVERIFY(fake.calls.isEmpty());
    QCOMPARE(engine.pauses, QList<int>{100});
}

void TestModbusEngine::registersAsked_data()
{
    QTest::addColumn<t_GetArray>("params");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<int>("registersAsked");

    const QByteArray zeros200 = "[" + QByteArray("0,").repeated(199) + "0]";
    QTest::newRow("floatPrec 20") << transfer(10, 2, QByteArray(), 0, 0, 20) << QByteArray("[0,0]") << 2;
    QTest::newRow("200 values") << readParams("200") << zeros200 << 200;
    QTest::newRow("200 wide values") << transfer(10, 200, QByteArray(), 16, 32) << zeros200 << 400;
    QTest::newRow("32-bit registers") << transfer(10, 3, "uint", 32, 32) << QByteArray("[0,0,0]") << 3;
}

void TestModbusEngine::registersAsked()
{
    QFETCH(t_GetArray, params);
    QFETCH(QByteArray, reply);
    QFETCH(int, registersAsked);
    FakeBackend fake;
    TestEngine engine(&fake);
    connectSerial(engine, fake);
    QCOMPARE(engine.readRegisters(params), reply);
    QCOMPARE(fake.lastNb, registersAsked);
}

void TestModbusEngine::writeEncoding_data()
{
    QTest::addColumn<t_GetArray>("params");
    QTest::addColumn<QVector<quint16>>("written");

    auto w = [](int count, const QByteArray &vals, const QByteArray &regType = QByteArray(), int valSize = 0) {
        return withValues(transfer(10, count, regType, 0, valSize), vals);
    };
    QTest::newRow("percent-encoded once more") << w(2, "%5B7%2C-2%5D") << QVector<quint16>{7, 0xFFFE};
    QTest::newRow("utf-8 digits in text") << w(1, "[\"%C3%A9\"]") << QVector<quint16>{0};
    QTest::newRow("uint 32 in 16-bit registers")
            << w(1, "[4294967295]", "uint", 32) << QVector<quint16>{0xFFFF, 0xFFFF};
    QTest::newRow("uint 32 low half first") << w(1, "[305419896]", "uint", 32) << QVector<quint16>{0x5678, 0x1234};
}

void TestModbusEngine::writeEncoding()
{
    QFETCH(t_GetArray, params);
    QFETCH(QVector<quint16>, written);
    FakeBackend fake;
    TestEngine engine(&fake);
    connectSerial(engine, fake);
    QCOMPARE(engine.writeRegisters(params), reply::sent);
    QCOMPARE(fake.written, written);
    QCOMPARE(fake.transferCount, 1);
}

void TestModbusEngine::pauses()
{
    // 100 ms before every read and write try, none before identification;
    // a write without a connection answers before its pause.
    FakeBackend fake;
    TestEngine engine(&fake);
    t_GetArray p = withValues(readParams("1"), "[1]");
    QCOMPARE(engine.readRegisters(p), notConnected);
    QCOMPARE(engine.writeRegisters(p), notConnected);
    QCOMPARE(engine.identifySlave(), notConnected);
    QCOMPARE(engine.pauses, QList<int>{100});

    connectSerial(engine, fake);
    engine.pauses.clear();
    fake.slaveIdData = QByteArray("\x05\xff", 2);
    QCOMPARE(engine.readRegisters(p), QByteArray("[0]"));
    QCOMPARE(engine.writeRegisters(p), reply::sent);
    QVERIFY(engine.identifySlave().startsWith("{\"id\":5,"));
    QCOMPARE(engine.pauses, (QList<int>{100, 100}));

    // Every retry pauses again.
    engine.pauses.clear();
    fake.transfers = {Transfer{0, 0}};
    QCOMPARE(engine.readRegisters(p), mismatch);
    QCOMPARE(engine.pauses, (QList<int>{100, 100, 100, 100}));
}

void TestModbusEngine::readWordLayout()
{
    // 32-bit registers: the layer's low half comes first in the engine's buffer.
    FakeBackend fake;
    TestEngine engine(&fake);
    connectSerial(engine, fake);
    fake.registers[2 * 5] = 0x5678;
    fake.registers[2 * 5 + 1] = 0x1234;
    t_GetArray p = readParams("1");
    p.insert("regAddr", "5");
    p.insert("regSize", "32");
    p.insert("valSize", "32");
    p.insert("regType", "uint");
    QCOMPARE(engine.readRegisters(p), QByteArray("[305419896]"));
    QCOMPARE(fake.calls.value(1), QStringLiteral("read32"));

    p.insert("regVals", "[4294967294]");
    QCOMPARE(engine.writeRegisters(p), reply::sent);
    QCOMPARE(fake.written32, QVector<quint32>{0xFFFFFFFEu});
}

void TestModbusEngine::identification_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("storedId");

    QTest::newRow("meter")
            << QByteArray("\x05\xff"
                          "Meter-01")
            << QByteArray("{\"id\":5,\"desc\":\"Meter-01\",\"descArray\":[5,255,77,101,116,101,114,45,48,49]}") << "5";
    QTest::newRow("slash and quote") << QByteArray(
            "\x09\x00"
            "a/\"\\",
            6) << QByteArray("{\"id\":9,\"desc\":\"a\\/\\\"\\\\\",\"descArray\":[9,0,97,47,34,92]}")
                                     << "9";
    QTest::newRow("left out") << QByteArray("\xc8\xff\x0d~\xc3}")
                              << QByteArray("{\"id\":200,\"desc\":\"}\",\"descArray\":[200,255,13,126,195,125]}")
                              << "200";
    QTest::newRow("two bytes") << QByteArray("\x11\xff")
                               << QByteArray("{\"id\":17,\"desc\":\"\",\"descArray\":[17,255]}") << "17";
    QTest::newRow("one byte") << QByteArray("\x2a") << QByteArray("{\"id\":42,\"desc\":\"\",\"descArray\":[42]}")
                              << "42";
}

void TestModbusEngine::identification()
{
    QFETCH(QByteArray, data);
    QFETCH(QByteArray, reply);
    QFETCH(QString, storedId);
    FakeBackend fake;
    fake.slaveIdData = data;
    TestEngine engine(&fake);
    connectSerial(engine, fake);
    QCOMPARE(engine.identifySlave(), reply);
    QCOMPARE(QSettings().value("Tavik_ID").toString(), storedId);
    QCOMPARE(fake.calls, QStringList({"set_slave 7", "report"}));
}

void TestModbusEngine::identificationFailureKeepsId()
{
    FakeBackend fake;
    fake.slaveIdData = QByteArray("\x05\xff", 2);
    TestEngine engine(&fake);
    connectSerial(engine, fake);
    QCOMPARE(engine.identifySlave(), QByteArray("{\"id\":5,\"desc\":\"\",\"descArray\":[5,255]}"));
    fake.transfers = {Transfer{-1, ETIMEDOUT}};
    QCOMPARE(engine.identifySlave(), timeoutReply);
    QCOMPARE(QSettings().value("Tavik_ID").toString(), QStringLiteral("5"));
}

void TestModbusEngine::unitAddressRange_data()
{
    QTest::addColumn<bool>("tcp");
    QTest::addColumn<QByteArray>("slaveID");
    QTest::addColumn<int>("libraryResult"); // what the layer's set_slave returns
    QTest::addColumn<bool>("accepted");

    QTest::newRow("serial 0") << false << QByteArray("0") << 0 << true;
    QTest::newRow("serial 247") << false << QByteArray("247") << 0 << true;
    QTest::newRow("serial 248") << false << QByteArray("248") << 0 << false;
    QTest::newRow("serial 255") << false << QByteArray("255") << 0 << false;
    QTest::newRow("serial 300") << false << QByteArray("300") << 0 << false;
    QTest::newRow("serial -1") << false << QByteArray("-1") << 0 << false;
    QTest::newRow("serial 65535 stored as -1") << false << QByteArray("65535") << 0 << false;
    QTest::newRow("tcp 255") << true << QByteArray("255") << 0 << true;
    QTest::newRow("tcp 256") << true << QByteArray("256") << 0 << false;
    QTest::newRow("tcp -1") << true << QByteArray("-1") << 0 << false;
    QTest::newRow("serial, layer refuses") << false << QByteArray("5") << -1 << false;
    QTest::newRow("tcp, layer refuses") << true << QByteArray("5") << -1 << false;
}

void TestModbusEngine::unitAddressRange()
{
    QFETCH(bool, tcp);
    QFETCH(QByteArray, slaveID);
    QFETCH(int, libraryResult);
    QFETCH(bool, accepted);

    QTcpServer host;
    QVERIFY(host.listen(QHostAddress::LocalHost, 0));
    FakeBackend fake;
    fake.addPort(QStringLiteral("COM1"));
    fake.slaveIdData = QByteArray("\x05\xff", 2);
    fake.setSlaveResult = libraryResult;
    TestEngine engine(&fake);
    t_GetArray c = tcp ? tcpParams(host.serverPort()) : serialParams();
    c.insert("slaveID", slaveID);
    QVERIFY(engine.connectPort(c).startsWith("{\"ok\":"));
    fake.calls.clear();

    t_GetArray p = readParams("1");
    const QByteArray read = engine.readRegisters(p);
    p.insert("regVals", "[1]");
    const QByteArray write = engine.writeRegisters(p);
    const QByteArray identify = engine.identifySlave();
    if (accepted) {
        QCOMPARE(read, QByteArray("[0]"));
        QCOMPARE(write, reply::sent);
        QCOMPARE(identify, QByteArray("{\"id\":5,\"desc\":\"\",\"descArray\":[5,255]}"));
        QCOMPARE(fake.transferCount, 3);
        return;
    }
    QCOMPARE(read, inputError);
    QCOMPARE(write, inputError);
    QCOMPARE(identify, inputError);
    QCOMPARE(fake.transferCount, 0);
    if (libraryResult == 0) {
        // Refused before the probe: nothing reached the line or the host.
        QVERIFY2(fake.calls.isEmpty(), qPrintable(fake.calls.join(", ")));
    } else {
        // The layer's refusal: a TCP connection opened for it is closed again.
        const QString set = QStringLiteral("set_slave ") + QString::fromLatin1(slaveID);
        const QStringList one = tcp ? QStringList{"connect", set, "close"} : QStringList{set};
        QCOMPARE(fake.calls, one + one + one);
    }
    QVERIFY(fake.faults.isEmpty());
}

namespace {
const QByteArray reportMiddle =
        "\"baudRate\":{\"0\":\"1200\",\"1\":\"2400\",\"2\":\"4800\",\"3\":\"9600\",\"4\":\"19200\",\"5\":\"38400\","
        "\"6\":\"57600\",\"7\":\"115200\",\"8\":\"230400\",\"9\":\"256000\",\"10\":\"1000000\",\"11\":\"\",\"12\":\"\"},"
        "\"mode\":{\"0\":\"RTU 8N2\",\"1\":\"RTU 8E1\",\"2\":\"RTU 8O1\",\"3\":\"RTU 8N1\"},";
const QByteArray defaultSettings =
        "\"userSettings\":{\"port\":\"0\",\"slaveID\":1,\"baudRate\":0,\"mode\":3,\"timeout\":200000,"
        "\"tcpIp\":\"192.168.1.100\",\"tcpPort\":502," // expected text only: never contacted
        "\"connectionType\":\"serial\",\"isConnected\":false}}";
} // namespace

void TestModbusEngine::portReport_data()
{
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QStringList>("friendNames");
    QTest::addColumn<QByteArray>("ports");

    QTest::newRow("none") << QStringList() << QStringList() << QByteArray("{\"ports\":{},");
    QTest::newRow("one")
            << QStringList{"COM1"} << QStringList{"Communications Port (COM1)"}
            << QByteArray("{\"ports\":{\"0\":{\"portName\":\"COM1\",\"friendName\":\"Communications Port (COM1)\"}},");
    QTest::newRow("two") << QStringList{"COM10", "COM1"} << QStringList{"USB (COM10)", "Port (COM1)"}
                         << QByteArray("{\"ports\":{\"0\":{\"portName\":\"COM10\",\"friendName\":\"USB (COM10)\"},"
                                       "\"1\":{\"portName\":\"COM1\",\"friendName\":\"Port (COM1)\"}},");
    QTest::newRow("device paths") << QStringList{"\\\\.\\COM10", "\\\\.\\COM3"} << QStringList{"A", "B"}
                                  << QByteArray("{\"ports\":{\"0\":{\"portName\":\"COM10\",\"friendName\":\"A\"},"
                                                "\"1\":{\"portName\":\"\\\\COM3\",\"friendName\":\"B\"}},");
    QTest::newRow("extra port, quoted name") << QStringList{"/tmp/p/b"} << QStringList{"My \"virtual\" port"}
                                             << QByteArray("{\"ports\":{\"0\":{\"portName\":\"\\/tmp\\/p\\/b\","
                                                           "\"friendName\":\"My \\\"virtual\\\" port\"}},");
}

void TestModbusEngine::portReport()
{
    QFETCH(QStringList, names);
    QFETCH(QStringList, friendNames);
    QFETCH(QByteArray, ports);
    FakeBackend fake;
    for (int i = 0; i < names.size(); ++i)
        fake.addPort(names.at(i), friendNames.at(i));
    TestEngine engine(&fake);
    QCOMPARE(engine.getPortSettings(), ports + reportMiddle + defaultSettings);
    QVERIFY(fake.calls.isEmpty());
}

void TestModbusEngine::portReportFollowsConnection()
{
    QTcpServer host;
    QVERIFY(host.listen(QHostAddress::LocalHost, 0));
    const QByteArray port = QByteArray::number(host.serverPort());
    FakeBackend fake;
    TestEngine engine(&fake);
    const QByteArray head = "{\"ports\":{}," + reportMiddle;

    t_GetArray p = tcpParams(host.serverPort(), 750);
    QCOMPARE(engine.connectPort(p), reply::tcpConnected);
    const QByteArray tcpSettings = "\"userSettings\":{\"port\":\"0\",\"slaveID\":3,\"baudRate\":0,\"mode\":3,"
                                   "\"timeout\":750,\"tcpIp\":\"127.0.0.1\",\"tcpPort\":"
            + port;
    QCOMPARE(engine.getPortSettings(), head + tcpSettings + ",\"connectionType\":\"tcp\",\"isConnected\":true}}");
    engine.disconnectPort();
    QCOMPARE(engine.getPortSettings(), head + tcpSettings + ",\"connectionType\":\"tcp\",\"isConnected\":false}}");

    // Stored texts are escaped; a stored number that is not one cannot break the reply.
    QSettings settings;
    settings.setValue("portName", "CO\"M\\1");
    settings.setValue("slaveID", "1,\"x\":2");
    QCOMPARE(engine.getPortSettings(),
             head
                     + "\"userSettings\":{\"port\":\"CO\\\"M\\\\1\",\"slaveID\":1,\"baudRate\":0,\"mode\":3,"
                       "\"timeout\":750,\"tcpIp\":\"127.0.0.1\",\"tcpPort\":"
                     + port + ",\"connectionType\":\"tcp\",\"isConnected\":false}}");
}

void TestModbusEngine::extraPortList_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QStringList>("ports");
    QTest::newRow("absent") << QByteArray() << QStringList();
    QTest::newRow("empty") << QByteArray("extraPorts=") << QStringList();
    QTest::newRow("one") << QByteArray("extraPorts=/tmp/x/b") << QStringList{"/tmp/x/b"};
    QTest::newRow("two") << QByteArray("extraPorts=/tmp/x/b, /dev/pts/7") << QStringList{"/tmp/x/b", "/dev/pts/7"};
    QTest::newRow("quoted") << QByteArray("extraPorts=\"/tmp/x/b,/tmp/y\"") << QStringList{"/tmp/x/b", "/tmp/y"};
}

void TestModbusEngine::extraPortList()
{
    QFETCH(QByteArray, line);
    QFETCH(QStringList, ports);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("config.ini"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("[listener]\nport=8080\n\n[modbus]\n" + line + "\n");
    file.close();
    QCOMPARE(QextSerialEnumerator::readExtraPorts(path), ports);
    const QList<QextPortInfo> all = QextSerialEnumerator::getPorts(path);
    QVERIFY(all.size() >= ports.size());
    for (int i = 0; i < ports.size(); ++i)
        QCOMPARE(all.at(all.size() - ports.size() + i).portName, ports.at(i));
}

namespace {

t_GetArray params(std::initializer_list<std::pair<const char *, const char *>> list)
{
    t_GetArray p;
    for (const auto &item : list)
        p.insert(item.first, item.second);
    return p;
}

// A 43/14 reply: more follows toward next, one object of its own id.
QByteArray idPage(bool more, int next, int object)
{
    return QByteArray::fromHex("2B0E0182") + char(more ? 0xFF : 0) + char(next) + char(1) + char(object) + char(1)
            + char('a' + object % 26);
}

} // namespace

// What goes to the library for one call: runs of whole values within the
// layer's limit, a retry resuming at the run that failed, one register or
// coil alone by its own function, device identification pages until done.
void TestModbusEngine::requestsOfOneCall_data()
{
    QTest::addColumn<QByteArray>("func");
    QTest::addColumn<t_GetArray>("params");
    QTest::addColumn<int>("limit");
    QTest::addColumn<QList<Transfer>>("transfers");
    QTest::addColumn<QList<QByteArray>>("pages");
    QTest::addColumn<QStringList>("asked");
    QTest::addColumn<QByteArray>("reply");

    QByteArray counted = "[";
    for (int i = 0; i < 126; ++i)
        counted += QByteArray::number(i) + (i < 125 ? "," : "]");
    const Transfer fault{-1, 112345690};
    const QList<QByteArray> none;
    const QByteArray sent = reply::sent;
    QTest::newRow("400 registers, whole values")
            << QByteArray("readRegisters") << transfer(0, 200, "uint", 16, 32) << 125 << QList<Transfer>() << none
            << QStringList{"read 124", "read 124", "read 124", "read 28"} << QByteArray();
    QTest::newRow("400 registers written, whole values")
            << QByteArray("writeRegisters")
            << withValues(transfer(0, 100, "int", 16, 64), "[" + QByteArray("1,").repeated(99) + "1]") << 123
            << QList<Transfer>() << none << QStringList{"write 120", "write 120", "write 120", "write 40"} << sent;
    QTest::newRow("a retry resumes at the run that failed")
            << QByteArray("readRegisters") << transfer(0, 126, "uint") << 125 << QList<Transfer>{ok, fault, ok} << none
            << QStringList{"read 125", "read 1", "read 1"} << counted;
    QTest::newRow("function 6, register by register")
            << QByteArray("writeRegisters")
            << params({{"regAddr", "4"},
                       {"valuesCnt", "1"},
                       {"valSize", "32"},
                       {"regVals", "[65537]"},
                       {"writeFc", "6"}})
            << 125 << QList<Transfer>() << none << QStringList{"write_register 1", "write_register 1"} << sent;
    QTest::newRow("function 6 stops at the first failure")
            << QByteArray("writeRegisters")
            << params({{"regAddr", "4"}, {"valuesCnt", "3"}, {"regVals", "[1,2,3]"}, {"writeFc", "6"}}) << 125
            << QList<Transfer>{ok, Transfer{-1, ETIMEDOUT}} << none
            << QStringList{"write_register 1", "write_register 1"} << timeoutReply;
    QTest::newRow("one coil") << QByteArray("writeBits")
                              << params({{"regAddr", "1"}, {"valuesCnt", "1"}, {"bitVals", "[true]"}}) << 125
                              << QList<Transfer>() << none << QStringList{"write_bit 1"} << sent;
    QTest::newRow("coils") << QByteArray("writeBits")
                           << params({{"regAddr", "1"}, {"valuesCnt", "3"}, {"bitVals", "[1,0,false]"}}) << 1968
                           << QList<Transfer>() << none << QStringList{"write_bits 3"} << sent;
    QTest::newRow("32-bit input registers")
            << QByteArray("readRegisters")
            << params({{"table", "input"},
                       {"regAddr", "1"},
                       {"valuesCnt", "2"},
                       {"regType", "uint"},
                       {"regSize", "32"},
                       {"valSize", "32"}})
            << 62 << QList<Transfer>() << none << QStringList{"read_input32 2"} << QByteArray("[196610,327684]");
    const QList<QByteArray> three{idPage(true, 1, 0), idPage(true, 3, 1), idPage(false, 0, 0x80)};
    QTest::newRow("identification follows more-follows")
            << QByteArray("readDeviceIdentification") << t_GetArray() << 125 << QList<Transfer>() << three
            << QStringList{"device_id 10", "device_id 10", "device_id 10"}
            << QByteArray(R"({"conformity":"0x82","objects":{"VendorName":"a","ProductCode":"b","0x80":"y"}})");
    QTest::newRow("identification stops where the next object is no further")
            << QByteArray("readDeviceIdentification") << params({{"category", "2"}}) << 125 << QList<Transfer>()
            << QList<QByteArray>{idPage(true, 0, 4)} << QStringList{"device_id 10"}
            << QByteArray(R"({"conformity":"0x82","objects":{"ProductName":"e"}})");
    QList<QByteArray> endless;
    for (int i = 0; i < 20; ++i)
        endless << idPage(true, i + 1, 0);
    QTest::newRow("identification asks 16 times at most")
            << QByteArray("readDeviceIdentification") << params({{"category", "3"}}) << 125 << QList<Transfer>()
            << endless << QStringList(QVector<QString>(16, QStringLiteral("device_id 10")).toList())
            << QByteArray(R"({"conformity":"0x82","objects":{"VendorName":"a"}})");
    QTest::newRow("identification refused by the slave")
            << QByteArray("readDeviceIdentification") << t_GetArray() << 125 << QList<Transfer>{fault} << none
            << QStringList{"device_id 0", "device_id 0", "device_id 0", "device_id 0"}
            << QByteArray("{\"error\":\"Protocol error! fault 112345690\"}");
}

void TestModbusEngine::requestsOfOneCall()
{
    QFETCH(QByteArray, func);
    QFETCH(t_GetArray, params);
    QFETCH(int, limit);
    QFETCH(QList<Transfer>, transfers);
    QFETCH(QList<QByteArray>, pages);
    QFETCH(QStringList, asked);
    QFETCH(QByteArray, reply);
    FakeBackend fake;
    for (int i = 0; i < fake.registers.size(); ++i)
        fake.registers[i] = quint16(i);
    TestEngine engine(&fake);
    connectSerial(engine, fake);
    fake.limit = limit;
    fake.transfers = transfers;
    fake.deviceIdPages = pages;
    const QByteArray got = engine.call(func, params);
    if (!reply.isNull())
        QCOMPARE(got, reply);
    QCOMPARE(fake.asked, asked);
    QVERIFY(fake.faults.isEmpty());
}

// The pause before a transfer is pauseMs, but never below the serial line's
// 3.5-character silence, which also separates the requests of one call.
void TestModbusEngine::pauseRule_data()
{
    QTest::addColumn<QByteArray>("baudRate"); // empty: TCP
    QTest::addColumn<int>("pauseMs");
    QTest::addColumn<QList<int>>("pauses");
    QTest::newRow("9600 baud") << QByteArray("3") << 100 << QList<int>{100, 5};
    QTest::newRow("9600 baud, no pause") << QByteArray("3") << 0 << QList<int>{5, 5};
    QTest::newRow("115200 baud, no pause") << QByteArray("7") << 0 << QList<int>{2, 2};
    QTest::newRow("TCP, no pause") << QByteArray() << 0 << QList<int>();
    QTest::newRow("TCP, 30 ms") << QByteArray() << 30 << QList<int>{30};
}

void TestModbusEngine::pauseRule()
{
    QFETCH(QByteArray, baudRate);
    QFETCH(int, pauseMs);
    QFETCH(QList<int>, pauses);
    QTcpServer host;
    QVERIFY(host.listen(QHostAddress::LocalHost, 0));
    FakeBackend fake;
    fake.addPort(QStringLiteral("COM1"));
    TestEngine engine(&fake);
    ModbusConfig config;
    config.pauseMs = pauseMs;
    engine.setConfig(config);
    t_GetArray c = baudRate.isEmpty() ? tcpParams(host.serverPort()) : serialParams("COM1", baudRate);
    QVERIFY(engine.connectPort(c).startsWith("{\"ok\""));
    fake.limit = 125;
    t_GetArray p = transfer(0, 126);
    QVERIFY(engine.readRegisters(p).startsWith("[0,"));
    QCOMPARE(engine.pauses, pauses);
}

void TestModbusEngine::configKeys_data()
{
    QTest::addColumn<QByteArray>("lines");
    QTest::addColumn<int>("pauseMs");
    QTest::addColumn<bool>("keepOpen");
    QTest::newRow("absent") << QByteArray() << 100 << false;
    QTest::newRow("set") << QByteArray("pauseMs=0\ntcpKeepOpen=true") << 0 << true;
    QTest::newRow("unreadable") << QByteArray("pauseMs=-5\ntcpKeepOpen=yes") << 100 << false;
    QTest::newRow("beyond the lock's wait") << QByteArray("pauseMs=60000\ntcpKeepOpen=false") << 10000 << false;
}

void TestModbusEngine::configKeys()
{
    QFETCH(QByteArray, lines);
    QFETCH(int, pauseMs);
    QFETCH(bool, keepOpen);
    QTemporaryDir dir;
    QFile file(dir.filePath(QStringLiteral("config.ini")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("[modbus]\n" + lines + "\n");
    file.close();
    const ModbusConfig config = ModbusConfig::fromFile(file.fileName());
    QCOMPARE(config.pauseMs, pauseMs);
    QCOMPARE(config.tcpKeepOpen, keepOpen);
}

// The new functions' parameter checks: answered before the bus.
void TestModbusEngine::newFunctionsRefused_data()
{
    QTest::addColumn<QByteArray>("func");
    QTest::addColumn<t_GetArray>("params");
    QTest::addColumn<QByteArray>("reply");
    const QByteArray tooMany = reply::tooManyRegisters;
    const QByteArray values = reply::valuesError;
    const t_GetArray bits = params({{"table", "coils"}, {"regAddr", "0"}, {"valuesCnt", "2"}, {"bitVals", "[1,0]"}});
    const auto with = [](t_GetArray p, const char *name, const char *value) {
        p.insert(name, value);
        return p;
    };
    const auto without = [](t_GetArray p, const char *name) {
        p.remove(name);
        return p;
    };
    const QByteArray read = "readBits";
    const QByteArray write = "writeBits";
    QTest::newRow("bits: no table") << read << without(bits, "table") << inputError;
    QTest::newRow("bits: holding") << read << with(bits, "table", "holding") << inputError;
    QTest::newRow("bits: no regAddr") << read << without(bits, "regAddr") << inputError;
    QTest::newRow("bits: none") << read << with(bits, "valuesCnt", "0") << inputError;
    QTest::newRow("bits: 2001") << read << with(bits, "valuesCnt", "2001") << tooMany;
    QTest::newRow("write bits: discrete") << write << with(bits, "table", "discrete") << inputError;
    QTest::newRow("write bits: 1969") << write << with(bits, "valuesCnt", "1969") << tooMany;
    QTest::newRow("write bits: no list") << write << without(bits, "bitVals") << inputError;
    QTest::newRow("write bits: a 2") << write << with(bits, "bitVals", "[1,2]") << values;
    QTest::newRow("write bits: short list") << write << with(bits, "bitVals", "[1]") << values;
    QTest::newRow("write bits: not JSON") << write << with(bits, "bitVals", "[1,0") << values;
    const t_GetArray mask = params({{"regAddr", "3"}, {"andMask", "0xFFFF"}, {"orMask", "0"}});
    QTest::newRow("mask: 65536") << QByteArray("maskWriteRegister") << with(mask, "andMask", "65536") << inputError;
    QTest::newRow("mask: -1") << QByteArray("maskWriteRegister") << with(mask, "orMask", "-1") << inputError;
    QTest::newRow("mask: no regAddr") << QByteArray("maskWriteRegister") << without(mask, "regAddr") << inputError;
    for (const char *category : {"0", "4", "x"})
        QTest::addRow("category %s", category)
                << QByteArray("readDeviceIdentification") << params({{"category", category}}) << inputError;
    QTest::newRow("registers: table coils")
            << QByteArray("readRegisters") << with(transfer(0, 1), "table", "coils") << inputError;
    QTest::newRow("registers: byte order abcd")
            << QByteArray("readRegisters") << with(transfer(0, 1, "int", 16, 32), "byteOrder", "abcd") << inputError;
    QTest::newRow("registers: writeFc 5")
            << QByteArray("writeRegisters") << with(withValues(transfer(0, 1), "[1]"), "writeFc", "5") << inputError;
    QTest::newRow("registers: writeFc 6 on 32-bit registers")
            << QByteArray("writeRegisters") << with(withValues(transfer(0, 1, "int", 32, 32), "[1]"), "writeFc", "6")
            << inputError;
}

void TestModbusEngine::newFunctionsRefused()
{
    QFETCH(QByteArray, func);
    QFETCH(t_GetArray, params);
    QFETCH(QByteArray, reply);
    FakeBackend fake;
    TestEngine engine(&fake);
    connectSerial(engine, fake);
    QCOMPARE(engine.call(func, params), reply);
    QVERIFY(fake.asked.isEmpty());
    QCOMPARE(engine.pauses, func == "readDeviceIdentification" ? QList<int>() : QList<int>{100});
}

// Where today's API answered with values, the new type names answer as any
// other unknown name did: float at 16 bits, ascii and hex at 32.
void TestModbusEngine::todaysRepliesKept_data()
{
    QTest::addColumn<t_GetArray>("params");
    QTest::newRow("float") << transfer(0, 2, "float");
    QTest::newRow("float, 16 bits") << transfer(0, 2, "float", 16, 16, 3);
    QTest::newRow("ascii, 32 bits") << transfer(0, 2, "ascii", 16, 32);
    QTest::newRow("hex on 32-bit registers") << transfer(0, 2, "hex", 32, 32);
    QTest::newRow("float written") << withValues(transfer(0, 2, "float"), "[1.5,\"7\"]");
    QTest::newRow("hex written, 32 bits") << withValues(transfer(0, 1, "hex", 16, 32), "[65537]");
}

void TestModbusEngine::todaysRepliesKept()
{
    QFETCH(t_GetArray, params);
    FakeBackend fake;
    fake.registers[0] = 0x4148;
    fake.registers[1] = 0xFFFF;
    TestEngine engine(&fake);
    connectSerial(engine, fake);
    const bool writing = params.contains("regVals");
    const QByteArray got = writing ? engine.writeRegisters(params) : engine.readRegisters(params);
    const QVector<quint16> written = fake.written;
    params.insert("regType", "word");
    QCOMPARE(got, writing ? engine.writeRegisters(params) : engine.readRegisters(params));
    QVERIFY(got != inputError && !got.isEmpty());
    QCOMPARE(fake.written, written);
}

QTEST_GUILESS_MAIN(TestModbusEngine)
#include "tst_modbusengine.moc"
