// The gateway as the browser sees it: the real program over its AJAX API,
// against a pymodbus slave on a pty serial line and over TCP, and against
// the demo slave for 32-bit registers.
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrl>
#include <QtTest>

#include "apptestsupport.h"
#include "childprocess.h"
#include "routerclient.h"

namespace {

const QString python = QStringLiteral("/usr/bin/python3");
const QString peerScript = QStringLiteral(BRIO_SOURCE_DIR "/tests/support/peers/pymodbus_slave.py");
const QString simProgram = QStringLiteral(BRIO_APP_DIR "/modbus-sim");

// 0xFFFF, then 12.5 as float4321 (0x4148 0x0000).
const char *const presets = "0=0xFFFF,1=0x4148,2=0";
// 05 FF "Meter-01"; the peer appends its own run byte.
const char *const slaveIdHex = "05FF4D657465722D3031";

const QByteArray notConnected = "{\"error\":\"Not connected\"}";
const QByteArray sent = "{\"ok\":\"Values successfully sent.\"}";

QByteArray encoded(const QString &text)
{
    return QUrl::toPercentEncoding(text);
}

QByteArray tcpConnectQuery(int port, int timeout = 1000)
{
    return "func=connect&connType=tcp&ipAddres_tcp=127.0.0.1&slaveID=1&port_tcp=" + QByteArray::number(port)
           + "&timeout=" + QByteArray::number(timeout);
}

} // namespace

class TestGateway : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void portReportListsTheConfiguredLine();
    void serialSession_data();
    void serialSession();
    void serialStateAndDisconnect();
    void tcpSession_data();
    void tcpSession();
    void demoSlave_data();
    void demoSlave();
    void badRequestsNeverReachTheBus_data();
    void badRequestsNeverReachTheBus();
    void silentAndDeadHosts();

private:
    QByteArray ajax(const QByteArray &query);

    QTemporaryDir dir;
    Child socat;
    Child serialPeer;
    Child tcpPeer;
    Child sim;
    ProgramRun run;
    QString pty;
    int tcpPort = 0;
    int simPort = 0;
    quint16 httpPort = 0;
};

QByteArray TestGateway::ajax(const QByteArray &query)
{
    const HttpReply reply = testclient::get(httpPort, "/ajax.html?" + query);
    if (!reply.complete || reply.status != 200 || reply.headers.value("Content-Type") != "text/html")
        return "bad HTTP reply: " + reply.statusLine;
    return reply.body;
}

void TestGateway::initTestCase()
{
    QVERIFY(dir.isValid());
    QVERIFY(run.ok);

    const QString a = dir.filePath(QStringLiteral("a"));
    pty = dir.filePath(QStringLiteral("b"));
    socat.process.setProcessChannelMode(QProcess::MergedChannels);
    QVERIFY(socat.start(QStringLiteral("socat"), {"-d", "-d", "pty,raw,echo=0,link=" + a, "pty,raw,echo=0,link=" + pty},
                        "starting data transfer loop"));
    QVERIFY2(serialPeer.start(python, {peerScript, "--serial", a, "--baud", "115200", "--set", presets,
                                       "--slave-id", slaveIdHex}, "ready"),
             serialPeer.output + serialPeer.process.readAllStandardError());
    QVERIFY2(tcpPeer.start(python, {peerScript, "--tcp", "127.0.0.1:0", "--set", presets, "--slave-id", slaveIdHex},
                           "ready"),
             tcpPeer.output + tcpPeer.process.readAllStandardError());
    tcpPort = tcpPeer.number(QStringLiteral("port (\\d+)"));
    QVERIFY(tcpPort > 0);
    QVERIFY(sim.start(simProgram, {"--host", "127.0.0.1", "--port", "0"}, "listening on"));
    simPort = sim.number(QStringLiteral("listening on 127\\.0\\.0\\.1:(\\d+)"));
    QVERIFY(simPort > 0);

    httpPort = freePort();
    QVERIFY(run.writeConfig("[listener]\nhost=127.0.0.1\nport=" + QByteArray::number(httpPort)
                            + "\nreadTimeout=30000\n[docroot]\npath=www\n[modbus]\nextraPorts=" + pty.toUtf8() + "\n"));
    run.start({QStringLiteral("-r")});
    QTRY_VERIFY_WITH_TIMEOUT(run.log.contains("HttpListener: Listening on port"), 20000);
}

void TestGateway::init()
{
    QCOMPARE(run.process.state(), QProcess::Running);
}

void TestGateway::portReportListsTheConfiguredLine()
{
    const QByteArray report = ajax("func=getPortSettings");
    QJsonParseError error;
    const QJsonObject root = QJsonDocument::fromJson(report, &error).object();
    QVERIFY2(error.error == QJsonParseError::NoError, report);
    const QJsonObject ports = root.value(QStringLiteral("ports")).toObject();
    QVERIFY(!ports.isEmpty());
    const QJsonObject last = ports.value(QString::number(ports.size() - 1)).toObject();
    QCOMPARE(last.value(QStringLiteral("portName")).toString(), pty);
    QVERIFY(report.startsWith("{\"ports\":{\"0\":{\"portName\":\""));
    QVERIFY(report.contains(",\"baudRate\":{\"0\":\"1200\","));
}

void TestGateway::serialSession_data()
{
    QTest::addColumn<QByteArray>("query");
    QTest::addColumn<QByteArray>("reply");
    QTest::newRow("connect") << "func=connect&connType=serial&portSelect=" + encoded(pty)
                                    + "&slaveID=1&baudRate=7&mode=3&timeout=50"
                             << QByteArray("{\"ok\":\"Connected with serial port.\"}");
    QTest::newRow("signed default") << QByteArray("func=readRegisters&regAddr=0&valuesCnt=1") << QByteArray("[-1]");
    QTest::newRow("unsigned") << QByteArray("func=readRegisters&regAddr=0&valuesCnt=1&regType=uint")
                              << QByteArray("[65535]");
    QTest::newRow("swapped float") << QByteArray("func=readRegisters&regAddr=1&valuesCnt=1&regType=float4321&valSize=32")
                                   << QByteArray("[12.5]");
    QTest::newRow("write wrapped") << QByteArray("func=writeRegisters&regAddr=10&valuesCnt=3&regVals=%255B65535%252C-1%252C70000%255D")
                                   << sent;
    QTest::newRow("read back") << QByteArray("func=readRegisters&regAddr=10&valuesCnt=3&regType=uint")
                               << QByteArray("[65535,65535,4464]");
    QTest::newRow("write float") << QByteArray("func=writeRegisters&regAddr=20&valuesCnt=1&regType=float1234&valSize=32"
                                               "&regVals=%5B-2.75%5D")
                                 << sent;
    QTest::newRow("float words") << QByteArray("func=readRegisters&regAddr=20&valuesCnt=2&regType=uint")
                                 << QByteArray("[0,49200]");
    QTest::newRow("identify") << QByteArray("func=identifySlave")
                              << QByteArray("{\"id\":5,\"desc\":\"Meter-01\",\"descArray\":[5,255,77,101,116,101,114,45,48,49,255]}");
}

void TestGateway::serialSession()
{
    QFETCH(QByteArray, query);
    QFETCH(QByteArray, reply);
    QCOMPARE(ajax(query), reply);
}

void TestGateway::serialStateAndDisconnect()
{
    const QJsonObject user = QJsonDocument::fromJson(ajax("func=getPortSettings")).object()
                                 .value(QStringLiteral("userSettings")).toObject();
    QCOMPARE(user.value(QStringLiteral("port")).toString(), pty);
    QCOMPARE(user.value(QStringLiteral("baudRate")).toInt(), 7);
    QCOMPARE(user.value(QStringLiteral("connectionType")).toString(), QStringLiteral("serial"));
    QCOMPARE(user.value(QStringLiteral("isConnected")).toBool(), true);

    QCOMPARE(ajax("func=disconnect"), QByteArray("{\"ok\":\"Disconnected\"}"));
    QCOMPARE(ajax("func=readRegisters&regAddr=0&valuesCnt=1"), notConnected);
    QCOMPARE(ajax("func=identifySlave"), notConnected);
    QVERIFY(ajax("func=getPortSettings").endsWith("\"connectionType\":\"serial\",\"isConnected\":false}}"));
}

void TestGateway::tcpSession_data()
{
    QTest::addColumn<QByteArray>("query");
    QTest::addColumn<QByteArray>("reply");
    QTest::newRow("connect") << tcpConnectQuery(tcpPort) << QByteArray("{\"ok\":\"Connected with Modbus TCP.\"}");
    QTest::newRow("write ints") << QByteArray("func=writeRegisters&regAddr=30&valuesCnt=2&regType=int&valSize=32"
                                              "&regVals=%5B-100000%2C%2212%22%5D")
                                << sent;
    QTest::newRow("read ints") << QByteArray("func=readRegisters&regAddr=30&valuesCnt=2&regType=int&valSize=32")
                               << QByteArray("[-100000,12]");
    QTest::newRow("fixed float") << QByteArray("func=readRegisters&regAddr=1&valuesCnt=1&regType=float4321&regSize=16"
                                               "&valSize=32&floatPrec=3")
                                 << QByteArray("[12.5]");
    QTest::newRow("identify") << QByteArray("func=identifySlave")
                              << QByteArray("{\"id\":5,\"desc\":\"Meter-01\",\"descArray\":[5,255,77,101,116,101,114,45,48,49,255]}");
    QTest::newRow("state") << QByteArray("func=getPortSettings&x=1")
                           << QByteArray("\"tcpIp\":\"127.0.0.1\",\"tcpPort\":" + QByteArray::number(tcpPort)
                                         + ",\"connectionType\":\"tcp\",\"isConnected\":true}}");
}

void TestGateway::tcpSession()
{
    QFETCH(QByteArray, query);
    QFETCH(QByteArray, reply);
    const QByteArray body = ajax(query);
    if (query.startsWith("func=getPortSettings"))
        QVERIFY2(body.endsWith(reply), body);
    else
        QCOMPARE(body, reply);
}

void TestGateway::demoSlave_data()
{
    QTest::addColumn<QByteArray>("query");
    QTest::addColumn<QByteArray>("reply");
    QTest::newRow("connect") << tcpConnectQuery(simPort) << QByteArray("{\"ok\":\"Connected with Modbus TCP.\"}");
    QTest::newRow("identify") << QByteArray("func=identifySlave")
                              << QByteArray("{\"id\":66,\"desc\":\"Brio modbus-sim\",\"descArray\":[66,255,66,114,105,"
                                            "111,32,109,111,100,98,117,115,45,115,105,109]}");
    QTest::newRow("write 32-bit registers")
        << QByteArray("func=writeRegisters&regAddr=5100&valuesCnt=2&regType=int&regSize=32&valSize=32"
                      "&regVals=%5B-7%2C2147483647%5D")
        << sent;
    QTest::newRow("read 32-bit registers")
        << QByteArray("func=readRegisters&regAddr=5100&valuesCnt=2&regType=int&regSize=32&valSize=32")
        << QByteArray("[-7,2147483647]");
    QTest::newRow("write 32-bit float") << QByteArray("func=writeRegisters&regAddr=5110&valuesCnt=1&regType=float4321"
                                                      "&regSize=32&valSize=32&regVals=%5B2e8%5D")
                                        << sent;
    QTest::newRow("read 32-bit float") << QByteArray("func=readRegisters&regAddr=5110&valuesCnt=1&regType=float4321"
                                                     "&regSize=32&valSize=32&floatPrec=1")
                                       << QByteArray("[200000000.0]");
}

void TestGateway::demoSlave()
{
    QFETCH(QByteArray, query);
    QFETCH(QByteArray, reply);
    QCOMPARE(ajax(query), reply);
}

void TestGateway::badRequestsNeverReachTheBus_data()
{
    QTest::addColumn<QByteArray>("query");
    QTest::addColumn<QByteArray>("reply");
    QTest::newRow("too many") << QByteArray("regAddr=0&valuesCnt=201") << QByteArray("{\"error\":\"Too many registers\"}");
    QTest::newRow("no count") << QByteArray("regAddr=0&valuesCnt=0") << QByteArray("{\"error\":\"Input parameters error!\"}");
    QTest::newRow("register size") << QByteArray("regAddr=0&valuesCnt=1&regSize=24")
                                   << QByteArray("{\"error\":\"Invalid registers size!\"}");
    QTest::newRow("precision") << QByteArray("regAddr=0&valuesCnt=1&floatPrec=21")
                               << QByteArray("{\"error\":\"Invalid float precision!\"}");
    QTest::newRow("half of a float") << QByteArray("regAddr=0&valuesCnt=2&regType=float1234")
                                     << QByteArray("{\"error\":\"Invalid one value size!\"}");
    QTest::newRow("script") << QByteArray("write&regAddr=0&valuesCnt=1&regVals=%5Bwhile(1)%7B%7D%5D")
                            << QByteArray("{\"error\":\"Registers values error!\"}");
    QTest::newRow("short list") << QByteArray("write&regAddr=0&valuesCnt=3&regVals=%5B1%2C2%5D")
                                << QByteArray("{\"error\":\"Registers values error!\"}");
}

// A TCP transaction always opens a connection first, so a listener that
// counts connections tells whether a request went near the device.
void TestGateway::badRequestsNeverReachTheBus()
{
    QFETCH(QByteArray, query);
    QFETCH(QByteArray, reply);
    QTcpServer device;
    QVERIFY(device.listen(QHostAddress::LocalHost, 0));
    int connections = 0;
    connect(&device, &QTcpServer::newConnection, [&] {
        while (QTcpSocket *socket = device.nextPendingConnection()) {
            ++connections;
            socket->setParent(&device);
        }
    });
    QCOMPARE(ajax(tcpConnectQuery(device.serverPort())), QByteArray("{\"ok\":\"Connected with Modbus TCP.\"}"));
    // The probe and the library's own connection.
    QTRY_COMPARE(connections, 2);

    const bool write = query.startsWith("write&");
    const QByteArray call = (write ? "func=writeRegisters&" + query.mid(6) : "func=readRegisters&" + query);
    QCOMPARE(ajax(call), reply);
    QTest::qWait(100);
    QCOMPARE(connections, 2);
}

void TestGateway::silentAndDeadHosts()
{
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
    QCOMPARE(ajax(tcpConnectQuery(silent.serverPort())), QByteArray("{\"ok\":\"Connected with Modbus TCP.\"}"));
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(ajax("func=readRegisters&regAddr=0&valuesCnt=1"),
             QByteArray("{\"error\":\"I/O error: did not receive any data from slave.\"}"));
    QVERIFY2(clock.elapsed() < 10000, "a silent slave must not hold the gateway beyond its reply time-out");

    const quint16 closed = freePort();
    QCOMPARE(ajax(tcpConnectQuery(closed, 300)), QByteArray("{\"error\":\"Could not connect to Modbus TCP!\"}"));
    QCOMPARE(ajax("func=readRegisters&regAddr=0&valuesCnt=1"), notConnected);
}

QTEST_MAIN(TestGateway)
#include "tst_gateway.moc"
