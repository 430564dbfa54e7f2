// The engine against real slaves: pymodbus over TCP and over a pty serial
// line, mbpoll as an independent master, and modbus-sim for 32-bit registers.
#include <QtTest>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QTcpServer>
#include <QTemporaryDir>
#include <memory>

#include "childprocess.h"
#include "modbusfixtures.h"
#include "replyengine.h"
#include "modbuslibrary.h"

namespace {

using namespace modbusfix;

// A port that nothing listens on now.
quint16 closedPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

QByteArray rawRead(ReplyEngine &engine, int addr, int count)
{
    t_GetArray p = transfer(addr, count, "uint");
    return engine.readRegisters(p);
}

// The pause before transfers is the engine's courtesy to slow devices; these
// peers answer at once, so the tests do not sleep through it.
void noPause(ReplyEngine &engine)
{
    engine.setPause([](unsigned long) {});
}

const QByteArray &sent = reply::sent;
const QByteArray &notConnected = reply::notConnected;
const QByteArray &timeoutReply = reply::timeout;
const QByteArray &slaveIdReply = peerIdentity;

// 3 s for the peer's replies: a loaded machine must not turn a slow answer
// into a time-out. The silent-slave test shortens it for itself.
const QByteArray serialTimeout = "300";

// A request's parameters written as a query, values taken as they stand.
t_GetArray query(const QByteArray &text)
{
    t_GetArray p;
    for (const QByteArray &pair : text.split('&')) {
        const int eq = pair.indexOf('=');
        p.insert(pair.left(eq), pair.mid(eq + 1));
    }
    return p;
}

} // namespace

class TestModbusPeers : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void decoding_data();
    void decoding();
    void encoding_data();
    void encoding();
    void limitsAndErrors_data();
    void limitsAndErrors();
    void identification_data();
    void identification();
    void refusedUnitAddress_data();
    void refusedUnitAddress();
    void pymodbusDefaultIdentity();
    void mbpollCrossCheck();
    void notConnectedReplies();
    void tcpConnectAndDisconnect();
    void deadAndSilentHosts();
    void registers32AgainstSim();
    void functionCodes_data();
    void functionCodes();
    void keptConnectionOutlivesThePeer();
    void silentSerialSlave();

private:
    ReplyEngine *engineFor(const QString &transport);
    QByteArray mbpoll(const QStringList &args);

    PtyPair pty;
    Child tcpPeer;
    Child rtuPeer;
    int tcpPort = 0;
    QString serialDevice;
    ModbusLibrary serialLibrary;
    std::unique_ptr<ReplyEngine> tcpEngine;
    std::unique_ptr<ReplyEngine> rtuEngine;
    Child sim;
    std::unique_ptr<ReplyEngine> simEngine;
    Child streamPeer; // pymodbus with RTU frames over TCP
    std::unique_ptr<ReplyEngine> streamEngine;
};

void TestModbusPeers::initTestCase()
{
    QCoreApplication::setOrganizationName(QStringLiteral("Tavik"));
    QCoreApplication::setApplicationName(QStringLiteral("Brio"));
    QSettings().clear();

    tcpPort = startTcpPeer(tcpPeer);
    QVERIFY2(tcpPort > 0, tcpPeer.output + tcpPeer.process.readAllStandardError());
    QVERIFY(pty.start());
    serialDevice = pty.b();
    QVERIFY2(startSerialPeer(rtuPeer, pty.a()), rtuPeer.output + rtuPeer.process.readAllStandardError());

    serialLibrary.setExtraPorts({serialDevice});

    // Both links use the same slave id and a time-out that suits both.
    rtuEngine = std::make_unique<ReplyEngine>(&serialLibrary);
    noPause(*rtuEngine);
    t_GetArray serial = serialConnect(serialDevice, "1", "7", "3", serialTimeout);
    QCOMPARE(rtuEngine->connectPort(serial), reply::serialConnected);

    tcpEngine = std::make_unique<ReplyEngine>();
    noPause(*tcpEngine);
    t_GetArray tcp = tcpConnect(tcpPort);
    QCOMPARE(tcpEngine->connectPort(tcp), reply::tcpConnected);
}

void TestModbusPeers::cleanupTestCase()
{
    simEngine.reset();
    sim.stop();
    streamEngine.reset();
    streamPeer.stop();
    tcpEngine.reset();
    rtuEngine.reset();
    rtuPeer.stop();
    pty.socat.stop();
    tcpPeer.stop();
}

ReplyEngine *TestModbusPeers::engineFor(const QString &transport)
{
    if (transport == QLatin1String("sim")) {
        if (!simEngine) {
            simEngine = std::make_unique<ReplyEngine>();
            noPause(*simEngine);
            t_GetArray c = tcpConnect(startSim(sim));
            simEngine->connectPort(c);
        }
        return simEngine.get();
    }
    if (transport == QLatin1String("rtuovertcp")) {
        if (!streamEngine) {
            streamEngine = std::make_unique<ReplyEngine>();
            noPause(*streamEngine);
            t_GetArray c = tcpConnect(
                    startTcpPeer(streamPeer, {"--framer", "rtu", "--set", peerPresets, "--slave-id", peerSlaveIdHex}),
                    1000);
            c.insert("connType", "rtuovertcp");
            streamEngine->connectPort(c);
        }
        return streamEngine.get();
    }
    return transport == QLatin1String("tcp") ? tcpEngine.get() : rtuEngine.get();
}

QByteArray TestModbusPeers::mbpoll(const QStringList &args)
{
    QProcess p;
    p.start(QStringLiteral("mbpoll"),
            QStringList{"-m", "tcp", "-a", "1", "-0", "-1", "-p", QString::number(tcpPort)} + args);
    if (!p.waitForFinished(15000)) {
        p.kill();
        p.waitForFinished();
    }
    return p.readAllStandardOutput();
}

void TestModbusPeers::decoding_data()
{
    QTest::addColumn<QString>("transport");
    QTest::addColumn<t_GetArray>("params");
    QTest::addColumn<QByteArray>("reply");

    struct Row
    {
        const char *name;
        t_GetArray params;
        const char *reply;
    };
    const Row rows[] = {
            {"0xFFFF as int", transfer(0, 1), "[-1]"},
            {"0xFFFF as uint", transfer(0, 1, "uint"), "[65535]"},
            {"0xFFFF as other type", transfer(0, 1, "word"), "[65535]"},
            {"three ints", transfer(13, 3, "int"), "[12,-5,300]"},
            {"float4321 12.5", transfer(1, 1, "float4321", 16, 32), "[12.5]"},
            {"float1234 reversed words", transfer(1, 1, "float1234", 16, 32), "[0.00]"},
            {"float1234 12.5", transfer(3, 1, "float1234", 16, 32, 4), "[12.5000]"},
            {"float1234 0.5 no decimals", transfer(20, 1, "float1234", 16, 32, 0), "[0]"},
            {"float1234 20 decimals", transfer(20, 1, "float1234", 16, 32, 20), "[0.50000000000000000000]"},
            {"float4321 1e8", transfer(5, 1, "float4321", 16, 32), "[100000000.00]"},
            {"float4321 2e8", transfer(7, 1, "float4321", 16, 32), "[2e+08]"},
            {"float4321 6 digits", transfer(16, 2, "float4321", 16, 32), "[123.457,1.23457e+06]"},
            {"long high half first", transfer(9, 1, "long", 16, 32), "[65538]"},
            {"int32 low half first", transfer(11, 1, "int", 16, 32), "[-2]"},
            {"uint32 low half first", transfer(11, 1, "uint", 16, 32), "[4294967294]"},
            {"long then int32", transfer(9, 2, "int", 16, 32), "[131073,-2]"},
    };
    for (const QString &transport : {QStringLiteral("tcp"), QStringLiteral("rtu")}) {
        for (const Row &row : rows)
            QTest::addRow("%s %s", qPrintable(transport), row.name) << transport << row.params << QByteArray(row.reply);
    }
}

void TestModbusPeers::decoding()
{
    QFETCH(QString, transport);
    QFETCH(t_GetArray, params);
    QFETCH(QByteArray, reply);
    QCOMPARE(engineFor(transport)->readRegisters(params), reply);
}

void TestModbusPeers::encoding_data()
{
    QTest::addColumn<QString>("transport");
    QTest::addColumn<t_GetArray>("params");
    QTest::addColumn<QByteArray>("raw");
    QTest::addColumn<QByteArray>("typed");

    struct Row
    {
        const char *name;
        QByteArray vals;
        QByteArray type;
        int regSize;
        int valSize;
        const char *raw;
        const char *typed;
    };
    const Row rows[] = {
            {"65535", "[65535]", QByteArray(), 0, 0, "[65535]", "[-1]"},
            {"-1", "[-1]", QByteArray(), 0, 0, "[65535]", "[-1]"},
            {"70000", "[70000]", QByteArray(), 0, 0, "[4464]", "[4464]"},
            {"12.9", "[12.9]", "int", 16, 16, "[12]", "[12]"},
            {"numeric string", "[\"12\"]", QByteArray(), 0, 0, "[12]", "[12]"},
            {"other string", "[\"abc\"]", QByteArray(), 0, 0, "[0]", "[0]"},
            {"percent-encoded list", "%5B1%2C%202%2C-3%5D", "int", 0, 0, "[1,2,65533]", "[1,2,-3]"},
            {"uint any type", "[40000,2]", "word", 0, 0, "[40000,2]", "[40000,2]"},
            {"int32", "[-2,100000]", "int", 16, 32, "[65534,65535,34464,1]", "[-2,100000]"},
            {"uint32 all bits", "[4294967295]", "uint", 16, 32, "[65535,65535]", "[4294967295]"},
            {"uint32 halves", "[305419896]", "uint", 16, 32, "[22136,4660]", "[305419896]"},
            {"float4321", "[12.5,-2.25]", "float4321", 16, 32, "[16712,0,49168,0]", "[12.5,-2.25]"},
            {"float1234", "[12.5]", "float1234", 16, 32, "[0,16712]", "[12.50]"},
    };
    int addr = 100;
    for (const QString &transport : {QStringLiteral("tcp"), QStringLiteral("rtu")}) {
        for (const Row &row : rows) {
            const int count = QByteArray::fromPercentEncoding(row.vals).count(',') + 1;
            t_GetArray p = transfer(addr, count, row.type, row.regSize, row.valSize);
            p.insert("regVals", row.vals);
            QTest::addRow("%s %s", qPrintable(transport), row.name)
                    << transport << p << QByteArray(row.raw) << QByteArray(row.typed);
            addr += 10;
        }
    }
}

void TestModbusPeers::encoding()
{
    QFETCH(QString, transport);
    QFETCH(t_GetArray, params);
    QFETCH(QByteArray, raw);
    QFETCH(QByteArray, typed);
    ReplyEngine *engine = engineFor(transport);
    QCOMPARE(engine->writeRegisters(params), sent);
    const int registers = int(std::count(raw.begin(), raw.end(), ',') + 1);
    QCOMPARE(rawRead(*engine, params.value("regAddr").toInt(), registers), raw);
    params.remove("regVals");
    QCOMPARE(engine->readRegisters(params), typed);
}

void TestModbusPeers::limitsAndErrors_data()
{
    QTest::addColumn<QString>("transport");
    QTest::addColumn<QString>("operation");
    QTest::addColumn<t_GetArray>("params");
    QTest::addColumn<QByteArray>("reply");

    for (const QString &transport : {QStringLiteral("tcp"), QStringLiteral("rtu"), QStringLiteral("rtuovertcp")}) {
        const QByteArray t = transport.toLatin1();
        // What the slave itself answers at the limits.
        QTest::newRow(t + " 125 registers") << transport << "read" << transfer(0, 125, "uint") << QByteArray();
        // Beyond one request's 125 registers: two requests, one answer.
        QTest::newRow(t + " 200 values") << transport << "read" << transfer(0, 200, "uint") << QByteArray();
        QTest::newRow(t + " beyond the slave") << transport << "read" << transfer(9998, 5)
                                               << QByteArray("{\"error\":\"Protocol error! Illegal data address\"}");
        for (const RefusedRequest &r : refusedRequests())
            QTest::newRow(t + ' ' + r.name) << transport << (r.write ? "write" : "read") << r.params << r.reply;
    }
}

void TestModbusPeers::limitsAndErrors()
{
    QFETCH(QString, transport);
    QFETCH(QString, operation);
    QFETCH(t_GetArray, params);
    QFETCH(QByteArray, reply);
    ReplyEngine *engine = engineFor(transport);
    const QByteArray got =
            operation == QLatin1String("read") ? engine->readRegisters(params) : engine->writeRegisters(params);
    if (reply.isEmpty()) {
        QVERIFY2(got.startsWith("[65535,16712,0,0,16712,") && got.count(',') == params.value("valuesCnt").toInt() - 1,
                 got);
    } else {
        QCOMPARE(got, reply);
    }
    // Nothing was written by a refused request.
    QCOMPARE(rawRead(*engine, refusedAddress, 1), QByteArray("[0]"));
}

void TestModbusPeers::identification_data()
{
    QTest::addColumn<QString>("transport");
    QTest::newRow("tcp") << "tcp";
    QTest::newRow("rtu") << "rtu";
    QTest::newRow("rtuovertcp") << "rtuovertcp";
}

void TestModbusPeers::identification()
{
    QFETCH(QString, transport);
    QSettings().remove("Tavik_ID");
    QCOMPARE(engineFor(transport)->identifySlave(), slaveIdReply);
    QCOMPARE(QSettings().value("Tavik_ID").toString(), QStringLiteral("5"));
}

void TestModbusPeers::refusedUnitAddress_data()
{
    QTest::addColumn<QString>("transport");
    QTest::addColumn<QByteArray>("slaveID");
    QTest::newRow("rtu 248") << "rtu" << QByteArray("248");
    QTest::newRow("rtu 300") << "rtu" << QByteArray("300");
    QTest::newRow("rtu -1") << "rtu" << QByteArray("-1");
    QTest::newRow("rtu 65535 stored as -1") << "rtu" << QByteArray("65535");
    QTest::newRow("tcp 256") << "tcp" << QByteArray("256");
    QTest::newRow("tcp -1") << "tcp" << QByteArray("-1");
}

// Once aborted the process inside the library; now refused before the bus.
void TestModbusPeers::refusedUnitAddress()
{
    QFETCH(QString, transport);
    QFETCH(QByteArray, slaveID);
    const bool tcp = transport == QLatin1String("tcp");
    ReplyEngine *engine = engineFor(transport);
    t_GetArray c = tcp ? tcpConnect(tcpPort) : serialConnect(serialDevice, "1", "7", "3", serialTimeout);
    c.insert("slaveID", slaveID);
    const QByteArray connected = tcp ? reply::tcpConnected : reply::serialConnected;
    QCOMPARE(engine->connectPort(c), connected);

    const QByteArray refused = reply::inputError;
    t_GetArray p = transfer(500, 1);
    QCOMPARE(engine->readRegisters(p), refused);
    p.insert("regVals", "[7]");
    QCOMPARE(engine->writeRegisters(p), refused);
    QCOMPARE(engine->identifySlave(), refused);

    // Back on unit 1 the line works, and the refused write never happened.
    c.insert("slaveID", "1");
    QCOMPARE(engine->connectPort(c), connected);
    QCOMPARE(rawRead(*engine, 500, 1), QByteArray("[0]"));
}

void TestModbusPeers::pymodbusDefaultIdentity()
{
    // Without id data pymodbus sends its name and the run byte, no id byte.
    Child peer;
    const int port = startTcpPeer(peer, {});
    QVERIFY(port > 0);
    ReplyEngine engine;
    noPause(engine);
    t_GetArray c = tcpConnect(port);
    QCOMPARE(engine.connectPort(c), reply::tcpConnected);
    QCOMPARE(engine.identifySlave(),
             QByteArray("{\"id\":80,\"desc\":\"modbus\",\"descArray\":[80,121,109,111,100,98,117,115,255]}"));
    // Give the shared link its settings back.
    t_GetArray back = tcpConnect(tcpPort);
    QCOMPARE(tcpEngine->connectPort(back), reply::tcpConnected);
}

void TestModbusPeers::mbpollCrossCheck()
{
    if (QStandardPaths::findExecutable(QStringLiteral("mbpoll")).isEmpty())
        QSKIP("mbpoll is not installed");
    // The engine writes, mbpoll reads.
    t_GetArray w = transfer(300, 3);
    w.insert("regVals", "[1234,-2,70000]");
    QCOMPARE(tcpEngine->writeRegisters(w), sent);
    QByteArray out = mbpoll({"-t", "4:hex", "-r", "300", "-c", "3", "127.0.0.1"});
    QVERIFY2(out.contains("[300]: \t0x04D2\n[301]: \t0xFFFE\n[302]: \t0x1170\n"), out);

    t_GetArray f = transfer(310, 2, "float4321", 16, 32);
    f.insert("regVals", "[12.5,-2.25]");
    QCOMPARE(tcpEngine->writeRegisters(f), sent);
    out = mbpoll({"-t", "4:float", "-B", "-r", "310", "-c", "2", "127.0.0.1"});
    QVERIFY2(out.contains("[310]: \t12.5\n[312]: \t-2.25\n"), out);

    t_GetArray g = transfer(320, 1, "float1234", 16, 32);
    g.insert("regVals", "[3.25]");
    QCOMPARE(tcpEngine->writeRegisters(g), sent);
    out = mbpoll({"-t", "4:float", "-r", "320", "-c", "1", "127.0.0.1"});
    QVERIFY2(out.contains("[320]: \t3.25\n"), out);

    // mbpoll writes, the engine reads.
    out = mbpoll({"-r", "330", "127.0.0.1", "--", "4660", "65531", "16712", "0"});
    QVERIFY2(out.contains("Written 4 references"), out);
    t_GetArray r = transfer(330, 2);
    QCOMPARE(tcpEngine->readRegisters(r), QByteArray("[4660,-5]"));
    t_GetArray rf = transfer(332, 1, "float4321", 16, 32);
    QCOMPARE(tcpEngine->readRegisters(rf), QByteArray("[12.5]"));
    out = mbpoll({"-t", "4:float", "-r", "340", "127.0.0.1", "--", "-7.75"});
    QVERIFY2(out.contains("Written 1 references"), out);
    t_GetArray rg = transfer(340, 1, "float1234", 16, 32);
    QCOMPARE(tcpEngine->readRegisters(rg), QByteArray("[-7.75]"));
}

void TestModbusPeers::notConnectedReplies()
{
    ReplyEngine engine;
    noPause(engine);
    t_GetArray p = transfer(0, 1);
    p.insert("regVals", "[1]");
    QCOMPARE(engine.readRegisters(p), notConnected);
    QCOMPARE(engine.writeRegisters(p), notConnected);
    QCOMPARE(engine.identifySlave(), notConnected);
    QCOMPARE(engine.disconnectPort(), reply::disconnected);
}

void TestModbusPeers::tcpConnectAndDisconnect()
{
    ReplyEngine engine;
    noPause(engine);
    t_GetArray c = tcpConnect(tcpPort);
    QCOMPARE(engine.connectPort(c), reply::tcpConnected);
    QVERIFY(engine.getPortSettings().endsWith(",\"tcpIp\":\"127.0.0.1\",\"tcpPort\":" + QByteArray::number(tcpPort)
                                              + ",\"connectionType\":\"tcp\",\"isConnected\":true}}"));
    t_GetArray r = transfer(13, 1);
    QCOMPARE(engine.readRegisters(r), QByteArray("[12]"));
    QCOMPARE(engine.disconnectPort(), reply::disconnected);
    QVERIFY(engine.getPortSettings().endsWith(",\"connectionType\":\"tcp\",\"isConnected\":false}}"));
    QCOMPARE(engine.readRegisters(r), notConnected);

    // The serial link the same way, on a second engine over the pty.
    ReplyEngine serial(&serialLibrary);
    noPause(serial);
    QVERIFY(serial.getPortSettings().contains("{\"portName\":\"" + serialDevice.toUtf8().replace("/", "\\/")
                                              + "\",\"friendName\":\"Virtual port (b)\"}"));
    t_GetArray s = serialConnect(serialDevice, "1", "7", "3", serialTimeout);
    QCOMPARE(serial.connectPort(s), reply::serialConnected);
    QVERIFY(serial.getPortSettings().endsWith(",\"connectionType\":\"serial\",\"isConnected\":true}}"));
    QCOMPARE(serial.readRegisters(r), QByteArray("[12]"));
    QCOMPARE(serial.disconnectPort(), reply::disconnected);
    QVERIFY(serial.getPortSettings().endsWith(",\"connectionType\":\"serial\",\"isConnected\":false}}"));
    QCOMPARE(serial.readRegisters(r), notConnected);
    // The first serial engine still owns a working line.
    QCOMPARE(rtuEngine->readRegisters(r), QByteArray("[12]"));
}

void TestModbusPeers::deadAndSilentHosts()
{
    // Refused at once.
    ReplyEngine engine;
    noPause(engine);
    t_GetArray dead = tcpConnect(closedPort(), 1000);
    QCOMPARE(engine.connectPort(dead), reply::tcpFailed);

    // Accepts, never answers: the library's reply time-out, no retries.
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
    t_GetArray c = tcpConnect(silent.serverPort(), 1000);
    QCOMPARE(engine.connectPort(c), reply::tcpConnected);
    t_GetArray p = transfer(0, 2);
    QCOMPARE(engine.readRegisters(p), timeoutReply);
    p.insert("regVals", "[1,2]");
    QCOMPARE(engine.writeRegisters(p), timeoutReply);
    QCOMPARE(engine.identifySlave(), timeoutReply);

    // Gone between transactions.
    silent.close();
    QCOMPARE(engine.readRegisters(p), reply::socketError);

    t_GetArray back = tcpConnect(tcpPort);
    QCOMPARE(tcpEngine->connectPort(back), reply::tcpConnected);
}

void TestModbusPeers::registers32AgainstSim()
{
    Child simulator;
    const int port = startSim(simulator);
    QVERIFY2(port > 0, simulator.output);
    ReplyEngine engine;
    noPause(engine);
    t_GetArray c = tcpConnect(port);
    QCOMPARE(engine.connectPort(c), reply::tcpConnected);

    t_GetArray preset = transfer(sim::wideNumber, 2, "uint", 32, 32);
    QCOMPARE(engine.readRegisters(preset), QByteArray("[123456789,4294967295]"));
    t_GetArray asInt = transfer(sim::wideAllOnes, 1, "int", 32, 32);
    QCOMPARE(engine.readRegisters(asInt), QByteArray("[-1]"));
    t_GetArray asFloat = transfer(sim::wideFloat4321, 1, "float4321", 32, 32);
    QCOMPARE(engine.readRegisters(asFloat), QByteArray("[12.50]"));

    struct Row
    {
        const char *vals;
        const char *type;
        const char *typed;
        const char *raw;
    };
    const Row rows[] = {
            {"[4294967295,305419896]", "uint", "[4294967295,305419896]", "[4294967295,305419896]"},
            {"[-2]", "int", "[-2]", "[4294967294]"},
            {"[12.5]", "float4321", "[12.50]", "[1095237632]"},
            {"[12.5]", "float1234", "[12.5]", "[16712]"},
    };
    int addr = sim::wideFree;
    for (const Row &row : rows) {
        const int count = int(QByteArray(row.vals).count(',') + 1);
        t_GetArray w = transfer(addr, count, row.type, 32, 32);
        w.insert("regVals", row.vals);
        QCOMPARE(engine.writeRegisters(w), sent);
        w.remove("regVals");
        QCOMPARE(engine.readRegisters(w), QByteArray(row.typed));
        t_GetArray raw = transfer(addr, count, "uint", 32, 32);
        QCOMPARE(engine.readRegisters(raw), QByteArray(row.raw));
        addr += 10;
    }
    QCOMPARE(engine.identifySlave(), sim::identity);
    t_GetArray back = tcpConnect(tcpPort);
    QCOMPARE(tcpEngine->connectPort(back), reply::tcpConnected);
}

void TestModbusPeers::silentSerialSlave()
{
    // Last: the serial slave goes away, the line stays open and nothing answers.
    t_GetArray quick = serialConnect(serialDevice, "1", "7", "3", "50");
    QCOMPARE(rtuEngine->connectPort(quick), reply::serialConnected);
    rtuPeer.stop();
    t_GetArray p = transfer(0, 1);
    QCOMPARE(rtuEngine->readRegisters(p), timeoutReply);
    QCOMPARE(rtuEngine->identifySlave(), timeoutReply);
    QVERIFY(rtuEngine->isConnected());
}

// Every function code against pymodbus over TCP and RTU and against
// modbus-sim, in order: a write is followed by the read that shows it.
// mbpoll reads the TCP peer's tables where it speaks them.
void TestModbusPeers::functionCodes_data()
{
    QTest::addColumn<QString>("peer");
    QTest::addColumn<QByteArray>("func");
    QTest::addColumn<t_GetArray>("params");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QStringList>("mbpollArgs");
    QTest::addColumn<QByteArray>("mbpollSees");

    QByteArray wide = "[";
    QByteArray wideRead = "[";
    for (int i = 0; i < 100; ++i) {
        const QByteArray v = QByteArray::number(qint64(i - 50) * 92233720368547758LL + i);
        wide += (i ? "," : "") + v;
        wideRead += (i ? "," : "") + v;
    }
    wide += ']';
    wideRead += ']';
    QByteArray counted = "[";
    for (int i = 200; i < 326; ++i)
        counted += QByteArray::number(i) + (i < 325 ? "," : "]");

    struct Row
    {
        const char *name;
        const char *peers; // "": every peer
        QByteArray func;
        QByteArray params;
        QByteArray reply;
        QStringList mbpoll;
        QByteArray sees;
    };
    const QByteArray sent = reply::sent;
    const QByteArray pyBasic = R"("VendorName":"Brio tests","ProductCode":"pymodbus-peer","MajorMinorRevision":"1.0")";
    const QByteArray simBasic =
            R"("VendorName":"Brio","ProductCode":"modbus-sim","MajorMinorRevision":")" BRIO_VERSION "\"";
    const Row rows[] = {
            {"fc1 coils",
             "",
             "readBits",
             "table=coils&regAddr=10&valuesCnt=5",
             "[0,1,0,1,0]",
             {"-t", "0", "-r", "10", "-c", "5"},
             "[10]: \t0\n[11]: \t1\n[12]: \t0\n"},
            {"fc2 discrete inputs",
             "",
             "readBits",
             "table=discrete&regAddr=0&valuesCnt=7",
             "[1,0,0,1,0,0,1]",
             {"-t", "1", "-r", "0", "-c", "4"},
             "[0]: \t1\n[1]: \t0\n[2]: \t0\n[3]: \t1\n"},
            {"fc4 input registers",
             "",
             "readRegisters",
             "table=input&regAddr=5&valuesCnt=3&regType=uint",
             "[5,6,7]",
             {"-t", "3", "-r", "5", "-c", "3"},
             "[5]: \t5\n[6]: \t6\n[7]: \t7\n"},
            {"fc4 float",
             "",
             "readRegisters",
             "table=input&regAddr=100&valuesCnt=1&regType=float&valSize=32",
             "[12.50]",
             {"-t", "3:float", "-B", "-r", "100"},
             "[100]: \t12.5\n"},
            {"fc4 int32 ABCD",
             "",
             "readRegisters",
             "table=input&regAddr=102&valuesCnt=1&regType=int&valSize=32&byteOrder=ABCD",
             "[-100000]",
             {"-t", "3:int", "-B", "-r", "102"},
             "[102]: \t-100000\n"},
            {"fc4 int64",
             "",
             "readRegisters",
             "table=input&regAddr=104&valuesCnt=1&valSize=64",
             "[72623859790382856]",
             {},
             {}},
            {"fc4 double",
             "",
             "readRegisters",
             "table=input&regAddr=108&valuesCnt=1&regType=float&valSize=64&floatPrec=15",
             "[3.141592653589793]",
             {},
             {}},
            {"fc4 ascii",
             "",
             "readRegisters",
             "table=input&regAddr=112&valuesCnt=8&regType=ascii",
             "[\"Brio modbus-sim\"]",
             {},
             {}},
            {"fc4 hex",
             "",
             "readRegisters",
             "table=input&regAddr=100&valuesCnt=2&regType=hex",
             R"(["4148","0000"])",
             {"-t", "3:hex", "-r", "100", "-c", "2"},
             "[100]: \t0x4148\n[101]: \t0x0000\n"},
            {"fc5 one coil", "", "writeBits", "regAddr=20&valuesCnt=1&bitVals=[1]", sent, {}, {}},
            {"fc1 shows it",
             "",
             "readBits",
             "table=coils&regAddr=20&valuesCnt=3",
             "[1,1,0]",
             {"-t", "0", "-r", "20", "-c", "3"},
             "[20]: \t1\n[21]: \t1\n[22]: \t0\n"},
            {"fc15 coils", "", "writeBits", "regAddr=30&valuesCnt=3&bitVals=[true,0,1]", sent, {}, {}},
            {"fc1 shows them",
             "",
             "readBits",
             "table=coils&regAddr=30&valuesCnt=3",
             "[1,0,1]",
             {"-t", "0", "-r", "30", "-c", "3"},
             "[30]: \t1\n[31]: \t0\n[32]: \t1\n"},
            {"fc16 int64",
             "",
             "writeRegisters",
             "regAddr=600&valuesCnt=2&valSize=64&regVals=[-5,\"9223372036854775807\"]",
             sent,
             {},
             {}},
            {"fc3 shows it",
             "",
             "readRegisters",
             "table=holding&regAddr=600&valuesCnt=2&valSize=64",
             "[-5,9223372036854775807]",
             {"-t", "4:hex", "-r", "600", "-c", "5"},
             "[600]: \t0xFFFF\n[601]: \t0xFFFF\n[602]: \t0xFFFF\n[603]: \t0xFFFB\n[604]: \t0x7FFF\n"},
            {"fc6 one register at a time",
             "",
             "writeRegisters",
             "regAddr=610&valuesCnt=2&regType=float&valSize=32&byteOrder=CDAB&writeFc=6&regVals=[12.5,-2]",
             sent,
             {},
             {}},
            {"fc3 shows them",
             "",
             "readRegisters",
             "regAddr=610&valuesCnt=4&regType=hex",
             R"(["0000","4148","0000","C000"])",
             {"-t", "4:float", "-r", "610", "-c", "2"},
             "[610]: \t12.5\n[612]: \t-2\n"},
            {"fc22 mask write",
             "",
             "writeRegisters",
             "regAddr=620&valuesCnt=1&regType=hex&regVals=['1234']",
             sent,
             {},
             {}},
            {"fc22", "", "maskWriteRegister", "regAddr=620&andMask=0x00F2&orMask=37", sent, {}, {}},
            {"fc22 result", "", "readRegisters", "regAddr=620&valuesCnt=1&regType=hex", R"(["0035"])", {}, {}},
            {"fc43 basic",
             "tcp rtu rtuovertcp",
             "readDeviceIdentification",
             "func=readDeviceIdentification",
             "{\"conformity\":\"0x83\",\"objects\":{" + pyBasic + "}}",
             {},
             {}},
            {"fc43 extended over three replies",
             "tcp rtu rtuovertcp",
             "readDeviceIdentification",
             "category=3",
             "{\"conformity\":\"0x83\",\"objects\":{" + pyBasic
                     + R"(,"VendorUrl":"http://127.0.0.1/","ProductName":"Brio pymodbus peer",)"
                       R"("ModelName":"Latin-1 \u00e9 \"q\" \\ /","UserApplicationName":"tests",)"
                       R"("0x80":")"
                     + QByteArray("0123456789").repeated(15) + R"(","0x81":")" + QByteArray("abcdefghij").repeated(10)
                     + "\"}}",
             {},
             {}},
            {"fc43 basic",
             "sim",
             "readDeviceIdentification",
             "category=1",
             "{\"conformity\":\"0x82\",\"objects\":{" + simBasic + "}}",
             {},
             {}},
            {"fc43 regular for extended",
             "sim",
             "readDeviceIdentification",
             "category=3",
             "{\"conformity\":\"0x82\",\"objects\":{" + simBasic
                     + R"(,"ProductName":"Brio modbus-sim","ModelName":"Modbus TCP demo slave"}})",
             {},
             {}},
            {"split read of 126 registers",
             "",
             "readRegisters",
             "table=input&regAddr=200&valuesCnt=126&regType=uint",
             counted,
             {},
             {}},
            {"split write of 400 registers",
             "",
             "writeRegisters",
             "regAddr=700&valuesCnt=100&valSize=64&regVals=" + wide,
             sent,
             {},
             {}},
            {"split read of 400 registers",
             "",
             "readRegisters",
             "regAddr=700&valuesCnt=100&valSize=64",
             wideRead,
             {"-t", "4:hex", "-r", "1099"},
             "[1099]: \t0xB8B1\n"},
    };
    for (const char *peer : {"tcp", "rtu", "rtuovertcp", "sim"}) {
        for (const Row &row : rows) {
            if (*row.peers && !QByteArray(row.peers).split(' ').contains(peer))
                continue;
            const bool polled = QByteArray(peer) == "tcp" && !row.mbpoll.isEmpty();
            QTest::addRow("%s %s", peer, row.name) << QString::fromLatin1(peer) << row.func << query(row.params)
                                                   << row.reply << (polled ? row.mbpoll : QStringList()) << row.sees;
        }
    }
}

void TestModbusPeers::functionCodes()
{
    QFETCH(QString, peer);
    QFETCH(QByteArray, func);
    QFETCH(t_GetArray, params);
    QFETCH(QByteArray, reply);
    QFETCH(QStringList, mbpollArgs);
    QFETCH(QByteArray, mbpollSees);
    ReplyEngine *engine = engineFor(peer);
    QVERIFY2(engine->isConnected(), sim.output);
    QCOMPARE(engine->call(func, params), reply);
    if (mbpollArgs.isEmpty())
        return;
    if (QStandardPaths::findExecutable(QStringLiteral("mbpoll")).isEmpty())
        QSKIP("mbpoll is not installed");
    const QByteArray out = mbpoll(mbpollArgs + QStringList{"127.0.0.1"});
    QVERIFY2(out.contains(mbpollSees), out);
}

// With tcpKeepOpen one connection serves every call, and a peer that went
// away and came back is reached again without an error.
void TestModbusPeers::keptConnectionOutlivesThePeer()
{
    const quint16 port = closedPort();
    const QStringList where{"--host", "127.0.0.1", "--port", QString::number(port)};
    Child first;
    QVERIFY(first.start(simProgram, where, "listening on"));
    ReplyEngine engine;
    noPause(engine);
    ModbusSettings keepOpen;
    keepOpen.tcpKeepOpen = true;
    engine.setConfig(keepOpen);
    t_GetArray c = tcpConnect(port);
    QCOMPARE(engine.connectPort(c), reply::tcpConnected);
    t_GetArray r = transfer(sim::fixed16, 1);
    for (int i = 0; i < 5; ++i)
        QCOMPARE(engine.readRegisters(r), QByteArray("[1234]"));
    QTRY_COMPARE(first.output.append(first.process.readAllStandardOutput()).count("connected"),
                 2); // the probe and the one kept
    first.stop();

    Child second;
    QVERIFY(second.start(simProgram, where, "listening on"));
    QCOMPARE(engine.readRegisters(r), QByteArray("[1234]"));
    QCOMPARE(engine.identifySlave(), sim::identity);
}

QTEST_GUILESS_MAIN(TestModbusPeers)
#include "tst_modbuspeers.moc"
