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
#include "modbusfixtures.h"
#include "routerclient.h"

namespace {

using namespace modbusfix;

// One exchange of a session: what the page sends and the exact reply.
struct Step
{
    QByteArray query;
    QByteArray reply;
};

} // namespace

class TestGateway : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void portReportListsTheConfiguredLine();
    void serialSession();
    void tcpSession();
    void demoSlave();
    void badRequestsNeverReachTheBus_data();
    void badRequestsNeverReachTheBus();
    void silentAndDeadHosts();

private:
    QByteArray ajax(const QByteArray &query);
    void runSteps(const QList<Step> &steps);

    PtyPair ptys;
    Child serialPeer;
    Child tcpPeer;
    Child sim;
    ProgramRun run;
    QString pty;
    int tcpPort = 0;
    int simPort = 0;
    quint16 httpPort = 0;
};

// Each step builds on the ones before it, so they run in order in one test.
void TestGateway::runSteps(const QList<Step> &steps)
{
    for (const Step &step : steps) {
        const QByteArray body = ajax(step.query);
        QVERIFY2(body == step.reply, step.query + "\n  gave " + body + "\n  not " + step.reply);
    }
}

QByteArray TestGateway::ajax(const QByteArray &query)
{
    const HttpReply reply = testclient::get(httpPort, "/ajax.html?" + query);
    if (!reply.complete || reply.status != 200 || reply.headers.value("Content-Type") != "text/html")
        return "bad HTTP reply: " + reply.statusLine;
    return reply.body;
}

void TestGateway::initTestCase()
{
    QVERIFY(run.ok);
    QVERIFY(ptys.start());
    pty = ptys.b();
    QVERIFY2(startSerialPeer(serialPeer, ptys.a()), serialPeer.output + serialPeer.process.readAllStandardError());
    tcpPort = startTcpPeer(tcpPeer);
    QVERIFY2(tcpPort > 0, tcpPeer.output + tcpPeer.process.readAllStandardError());
    simPort = startSim(sim);
    QVERIFY2(simPort > 0, sim.output);

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

void TestGateway::serialSession()
{
    runSteps({
            {ajaxQuery("connect", serialConnect(pty, "1", "7", "3", "50")), reply::serialConnected},
            {"func=readRegisters&regAddr=0&valuesCnt=1", "[-1]"},
            {"func=readRegisters&regAddr=0&valuesCnt=1&regType=uint", "[65535]"},
            {"func=readRegisters&regAddr=1&valuesCnt=1&regType=float4321&valSize=32", "[12.5]"},
            // The page encodes the list once more than the request.
            {"func=writeRegisters&regAddr=10&valuesCnt=3&regVals=%255B65535%252C-1%252C70000%255D", reply::sent},
            {"func=readRegisters&regAddr=10&valuesCnt=3&regType=uint", "[65535,65535,4464]"},
            {"func=writeRegisters&regAddr=20&valuesCnt=1&regType=float1234&valSize=32&regVals=%5B-2.75%5D",
             reply::sent},
            {"func=readRegisters&regAddr=20&valuesCnt=2&regType=uint", "[0,49200]"},
            {"func=identifySlave", peerIdentity},
    });

    const QJsonObject user = QJsonDocument::fromJson(ajax("func=getPortSettings"))
                                     .object()
                                     .value(QStringLiteral("userSettings"))
                                     .toObject();
    QCOMPARE(user.value(QStringLiteral("port")).toString(), pty);
    QCOMPARE(user.value(QStringLiteral("baudRate")).toInt(), 7);
    QCOMPARE(user.value(QStringLiteral("connectionType")).toString(), QStringLiteral("serial"));
    QCOMPARE(user.value(QStringLiteral("isConnected")).toBool(), true);

    runSteps({
            {"func=disconnect", reply::disconnected},
            {"func=readRegisters&regAddr=0&valuesCnt=1", reply::notConnected},
            {"func=identifySlave", reply::notConnected},
    });
    QVERIFY(ajax("func=getPortSettings").endsWith("\"connectionType\":\"serial\",\"isConnected\":false}}"));
}

void TestGateway::tcpSession()
{
    runSteps({
            {ajaxQuery("connect", tcpConnect(tcpPort, 1000)), reply::tcpConnected},
            {"func=writeRegisters&regAddr=30&valuesCnt=2&regType=int&valSize=32&regVals=%5B-100000%2C%2212%22%5D",
             reply::sent},
            {"func=readRegisters&regAddr=30&valuesCnt=2&regType=int&valSize=32", "[-100000,12]"},
            {"func=readRegisters&regAddr=1&valuesCnt=1&regType=float4321&regSize=16&valSize=32&floatPrec=3", "[12.5]"},
            {"func=identifySlave", peerIdentity},
    });
    const QByteArray state = ajax("func=getPortSettings&x=1");
    QVERIFY2(state.endsWith("\"tcpIp\":\"127.0.0.1\",\"tcpPort\":" + QByteArray::number(tcpPort)
                            + ",\"connectionType\":\"tcp\",\"isConnected\":true}}"),
             state);
}

void TestGateway::demoSlave()
{
    const QByteArray wide = QByteArray::number(sim::wideFree);
    const QByteArray wideFloat = QByteArray::number(sim::wideFree + 10);
    runSteps({
            {ajaxQuery("connect", tcpConnect(simPort, 1000)), reply::tcpConnected},
            {"func=identifySlave", sim::identity},
            {"func=writeRegisters&regAddr=" + wide
                     + "&valuesCnt=2&regType=int&regSize=32&valSize=32"
                       "&regVals=%5B-7%2C2147483647%5D",
             reply::sent},
            {"func=readRegisters&regAddr=" + wide + "&valuesCnt=2&regType=int&regSize=32&valSize=32",
             "[-7,2147483647]"},
            {"func=writeRegisters&regAddr=" + wideFloat
                     + "&valuesCnt=1&regType=float4321&regSize=32&valSize=32"
                       "&regVals=%5B2e8%5D",
             reply::sent},
            {"func=readRegisters&regAddr=" + wideFloat
                     + "&valuesCnt=1&regType=float4321&regSize=32&valSize=32"
                       "&floatPrec=1",
             "[200000000.0]"},
    });
}

void TestGateway::badRequestsNeverReachTheBus_data()
{
    QTest::addColumn<QByteArray>("query");
    QTest::addColumn<QByteArray>("reply");
    for (const RefusedRequest &r : refusedRequests())
        QTest::newRow(r.name) << ajaxQuery(r.write ? "writeRegisters" : "readRegisters", r.params) << r.reply;
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
    QCOMPARE(ajax(ajaxQuery("connect", tcpConnect(device.serverPort(), 1000))), reply::tcpConnected);
    // The probe and the library's own connection.
    QTRY_COMPARE(connections, 2);

    QCOMPARE(ajax(query), reply);
    // A probe would have been accepted before the reply came back.
    QTest::qWait(20);
    QCOMPARE(connections, 2);
}

void TestGateway::silentAndDeadHosts()
{
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
    QCOMPARE(ajax(ajaxQuery("connect", tcpConnect(silent.serverPort(), 1000))), reply::tcpConnected);
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(ajax("func=readRegisters&regAddr=0&valuesCnt=1"), reply::timeout);
    QVERIFY2(clock.elapsed() < 10000, "a silent slave must not hold the gateway beyond its reply time-out");

    const quint16 closed = freePort();
    QCOMPARE(ajax(ajaxQuery("connect", tcpConnect(closed, 300))), reply::tcpFailed);
    QCOMPARE(ajax("func=readRegisters&regAddr=0&valuesCnt=1"), reply::notConnected);
}

QTEST_MAIN(TestGateway)
#include "tst_gateway.moc"
