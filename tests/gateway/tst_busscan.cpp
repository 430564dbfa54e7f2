// The bus scan through the real program: a pymodbus slave answering one
// unit on a pty line, the bus held while the scan runs, the connection in
// place before it given back, and a stop within one probe.
#include <QtTest>

#include "apptestsupport.h"
#include "childprocess.h"
#include "modbusfixtures.h"
#include "routerclient.h"

using namespace modbusfix;

namespace {
const QByteArray scanInProgress = "{\"error\":\"Scan in progress\"}";
const QByteArray scanStarted = "{\"ok\":\"Scan started\"}";
} // namespace

class TestBusScan : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void sweepHoldsTheBusAndGivesItBack();
    void stopWithinOneProbe();
    void exceptionsProveAUnit();
    void refusedRequests();

private:
    QByteArray ajax(const QByteArray &query);
    // Polls getScanStatus until the scan has ended; its last answer.
    QByteArray scanEnd(int timeoutMs);

    PtyPair ptys;
    Child serialPeer;
    Child tcpPeer;
    ProgramRun run;
    int tcpPort = 0;
    quint16 httpPort = 0;
};

QByteArray TestBusScan::ajax(const QByteArray &query)
{
    const HttpReply reply = testclient::get(httpPort, "/ajax.html?" + query);
    return reply.complete && reply.status == 200 ? reply.body : "bad HTTP reply: " + reply.statusLine;
}

QByteArray TestBusScan::scanEnd(int timeoutMs)
{
    QByteArray status;
    QDeadlineTimer deadline(timeoutMs);
    do {
        status = ajax("func=getScanStatus");
        if (status.startsWith("{\"running\":false"))
            break;
        QTest::qWait(20);
    } while (!deadline.hasExpired());
    return status;
}

void TestBusScan::initTestCase()
{
    QVERIFY(run.ok);
    QVERIFY(ptys.start());
    QVERIFY(serialPeer.start(
            python, {peerScript, "--serial", ptys.a(), "--baud", "115200", "--unit", "17", "--set", "0=7"}, "ready"));
    tcpPort = startTcpPeer(tcpPeer);
    QVERIFY(tcpPort > 0);
    httpPort = freePort();
    QVERIFY(run.writeConfig("[listener]\nhost=127.0.0.1\nport=" + QByteArray::number(httpPort)
                            + "\nreadTimeout=30000\n[docroot]\npath=www\n[modbus]\nextraPorts=" + ptys.b().toUtf8()
                            + "\npauseMs=0\n"));
    run.start({QStringLiteral("-r")});
    QTRY_VERIFY_WITH_TIMEOUT(run.log.contains("HttpListener: Listening on port"), 20000);
}

void TestBusScan::sweepHoldsTheBusAndGivesItBack()
{
    QCOMPARE(ajax(ajaxQuery("connect", tcpConnect(tcpPort, 1000))), reply::tcpConnected);
    QCOMPARE(ajax("func=clearTraffic"), QByteArray("{\"ok\":\"Cleared\"}"));
    // The Python peer can take well over 50 ms to answer its first request.
    const QByteArray scan = "func=startScan&connType=serial&portSelect=" + QUrl::toPercentEncoding(ptys.b())
            + "&bauds=9600,19200,115200&modes=3,0&units=16-18&timeoutMs=500";
    QCOMPARE(ajax(scan), scanStarted);

    // The bus is the scan's: a second scan and every transfer are turned away at once.
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(ajax(scan), scanInProgress);
    QCOMPARE(ajax("func=readRegisters&regAddr=0&valuesCnt=1"), scanInProgress);
    QCOMPARE(ajax(ajaxQuery("connect", tcpConnect(tcpPort, 1000))), scanInProgress);
    QVERIFY(ajax("func=getStats").startsWith("{\"requests\":"));
    QVERIFY(clock.elapsed() < 1000);

    // A pty carries every rate alike: unit 17 answers at each line setting, in the plan's order.
    // clang-format off
    QCOMPARE(scanEnd(20000), QByteArray(R"({"running":false,"done":18,"total":18,"found":[)"
        R"({"unit":17,"baud":9600,"mode":3,"reply":"ok"},{"unit":17,"baud":9600,"mode":0,"reply":"ok"},)"
        R"({"unit":17,"baud":19200,"mode":3,"reply":"ok"},{"unit":17,"baud":19200,"mode":0,"reply":"ok"},)"
        R"({"unit":17,"baud":115200,"mode":3,"reply":"ok"},{"unit":17,"baud":115200,"mode":0,"reply":"ok"}]})"));
    // clang-format on

    // Every probe is in the monitor; the connection from before is back.
    const QByteArray traffic = ajax("func=getTraffic");
    QCOMPARE(traffic.count("\"dir\":\"tx\""), 18);
    QCOMPARE(traffic.count("\"hex\":\"11 03 00 00 00 01 86 9A\""), 6);
    QVERIFY(ajax("func=getStats").startsWith("{\"requests\":18,\"ok\":6,\"timeouts\":12,"));
    QCOMPARE(ajax("func=readRegisters&regAddr=0&valuesCnt=1&regType=uint"), QByteArray("[65535]"));
    QVERIFY(ajax("func=getPortSettings").endsWith("\"connectionType\":\"tcp\",\"isConnected\":true}}"));
}

void TestBusScan::stopWithinOneProbe()
{
    QCOMPARE(ajax("func=startScan&connType=serial&portSelect=" + QUrl::toPercentEncoding(ptys.b())
                  + "&bauds=9600&modes=3&units=1-247&timeoutMs=200"),
             scanStarted);
    QTest::qWait(300);
    QCOMPARE(ajax("func=stopScan"), QByteArray("{\"ok\":\"Scan stopped\"}"));
    QElapsedTimer clock;
    clock.start();
    const QByteArray status = scanEnd(5000);
    QVERIFY2(status.startsWith("{\"running\":false,\"done\":"), status);
    // One probe of 200 ms, then the TCP connection given back.
    QVERIFY2(clock.elapsed() < 1000, QByteArray::number(clock.elapsed()));
    QVERIFY2(status.contains(",\"total\":247,\"found\":[]}"), status);
    QCOMPARE(ajax("func=readRegisters&regAddr=0&valuesCnt=1&regType=uint"), QByteArray("[65535]"));
}

void TestBusScan::exceptionsProveAUnit()
{
    QCOMPARE(ajax("func=startScan&connType=tcp&ipAddres_tcp=127.0.0.1&port_tcp=" + QByteArray::number(tcpPort)
                  + "&units=0,1&probeAddr=20000"),
             scanStarted);
    QCOMPARE(scanEnd(5000),
             QByteArray(R"({"running":false,"done":2,"total":2,"found":[)"
                        R"({"unit":0,"reply":"exception 02"},{"unit":1,"reply":"exception 02"}]})"));
}

void TestBusScan::refusedRequests()
{
    QCOMPARE(ajax("func=startScan&connType=serial&units=1-247"), reply::inputError);
    QCOMPARE(ajax("func=startScan&connType=tcp&ipAddres_tcp=127.0.0.1&port_tcp=502&units=0-256"), reply::inputError);
    QCOMPARE(ajax("func=getTraffic&since=-1"), reply::inputError);
    // The last scan's results stay until the next start.
    QVERIFY(ajax("func=getScanStatus").contains("{\"unit\":1,\"reply\":\"exception 02\"}"));
}

QTEST_MAIN(TestBusScan)
#include "tst_busscan.moc"
