#include <QDir>
#include <QSettings>
#include <QStandardPaths>
#include <QUrl>
#include <QtTest>
#include <memory>

#include "apptestsupport.h"
#include "httptestsupport.h"
#include "config.h"
#include "modbusfixtures.h"
#include "mqttsettings.h"
#include "myhttprequesthandler.h"

// The project functions in this process, where ThreadSanitizer sees the
// poller, the handler threads and the event stream together.

using namespace modbusfix;

class TestProjectApi : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void repliesWithNothingRunning_data();
    void repliesWithNothingRunning();
    void pollerStreamAndInteractiveCallsShareTheBus();

private:
    QByteArray ajax(const QByteArray &query);

    QTemporaryDir dir;
    std::unique_ptr<MyHttpRequestHandler> router;
    std::unique_ptr<httptest::Server> server;
    Child sim;
    Child streamPeer;
};

QByteArray TestProjectApi::ajax(const QByteArray &query)
{
    return testclient::get(server->port(), "/ajax.html?" + query).body;
}

void TestProjectApi::initTestCase()
{
    QCoreApplication::setOrganizationName(QStringLiteral("Tavik"));
    QCoreApplication::setApplicationName(QStringLiteral("Brio"));
    // What an earlier run saved is no part of this one.
    QDir(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation)).removeRecursively();
    QVERIFY(dir.isValid());
    QVERIFY(writeFile(dir.filePath(QStringLiteral("config.ini")), "[docroot]\npath=.\n"));
    router = std::make_unique<MyHttpRequestHandler>(nullptr, readConfig(dir.filePath(QStringLiteral("config.ini"))));
    LoggingSettings logging;
    logging.directory = dir.filePath(QStringLiteral("logs"));
    router->configureProjects(MqttSettings(), logging);
    server = std::make_unique<httptest::Server>(router.get(), QVariantMap{{"maxThreads", 8}});
}

void TestProjectApi::cleanupTestCase()
{
    server.reset();
    router.reset();
}

void TestProjectApi::repliesWithNothingRunning_data()
{
    QTest::addColumn<QByteArray>("query");
    QTest::addColumn<QByteArray>("reply");
    const QByteArray stopped = "{\"ok\":\"Project stopped\"}";
    QTest::newRow("no projects") << QByteArray("func=listProjects") << QByteArray("[]");
    QTest::newRow("unknown project") << QByteArray("func=getProject&name=nope") << reply::inputError;
    QTest::newRow("path as name") << QByteArray("func=getProject&name=..%2Fconfig") << reply::inputError;
    QTest::newRow("save without json") << QByteArray("func=saveProject&name=a") << reply::inputError;
    QTest::newRow("save bad name")
            << QByteArray("func=saveProject&name=a%2Fb&json=%7B%7D")
            << QByteArray("{\"error\":\"Project error: bad project name (1-64 characters A-Z a-z 0-9 _ -)\"}");
    QTest::newRow("save no devices") << QByteArray("func=saveProject&name=a&json=%7B%7D")
                                     << QByteArray("{\"error\":\"Project error: devices that are not an array in "
                                                   "the project\"}");
    QTest::newRow("delete unknown") << QByteArray("func=deleteProject&name=nope") << reply::inputError;
    QTest::newRow("start unknown") << QByteArray("func=startProject&name=nope") << reply::inputError;
    QTest::newRow("stop idle") << QByteArray("func=stopProject") << stopped;
    QTest::newRow("values idle") << QByteArray("func=getTagValues") << QByteArray("{\"project\":\"\",\"tags\":{}}");
    QTest::newRow("write idle") << QByteArray("func=writeTag&name=x&value=1") << reply::notConnected;
    QTest::newRow("write without value") << QByteArray("func=writeTag&name=x") << reply::inputError;
    QTest::newRow("no logs") << QByteArray("func=listLogs") << QByteArray("[]");
    QTest::newRow("log not listed") << QByteArray("func=downloadLog&file=a-2025-01-01.csv") << reply::inputError;
    QTest::newRow("mqtt off") << QByteArray("func=getMqttStatus")
                              << QByteArray("{\"connected\":false,\"published\":0,\"lastError\":\"\"}");
}

void TestProjectApi::repliesWithNothingRunning()
{
    QFETCH(QByteArray, query);
    QFETCH(QByteArray, reply);
    QCOMPARE(ajax(query), reply);
}

void TestProjectApi::pollerStreamAndInteractiveCallsShareTheBus()
{
    const int simPort = startSim(sim);
    QVERIFY2(simPort > 0, sim.output);
    const int streamPort = startTcpPeer(streamPeer, {"--framer", "rtu", "--set", peerPresets});
    QVERIFY2(streamPort > 0, streamPeer.output + streamPeer.process.readAllStandardError());
    const QByteArray project = R"({"devices":[{"name":"sim","connType":"tcp","ipAddres_tcp":"127.0.0.1","port_tcp":)"
            + QByteArray::number(simPort)
            + R"(,"slaveID":1,"timeout":1000},{"name":"rtu","connType":"rtuovertcp","ipAddres_tcp":"127.0.0.1",)"
              R"("port_tcp":)"
            + QByteArray::number(streamPort)
            + R"(,"slaveID":1,"timeout":1000}],"tags":[)"
              R"({"name":"fixed","device":"sim","table":"holding","regAddr":1,"pollMs":50},)"
              R"({"name":"sp","device":"sim","table":"holding","regAddr":210,"regType":"int","valSize":32,)"
              R"("byteOrder":"CDAB","offset":-10,"pollMs":50,"writable":true},)"
              R"({"name":"in","device":"sim","table":"input","regAddr":7,"pollMs":50},)"
              R"({"name":"coil","device":"sim","table":"coils","regAddr":3,"pollMs":50},)"
              R"({"name":"rtuReg","device":"rtu","table":"holding","regAddr":20,"pollMs":50,"writable":true}]})";
    QCOMPARE(ajax("func=saveProject&name=line&json=" + QUrl::toPercentEncoding(project)),
             QByteArray("{\"ok\":\"Project saved\"}"));
    QCOMPARE(ajax("func=startProject&name=line"), QByteArray("{\"ok\":\"Project started\"}"));

    httptest::Client stream(server->port());
    stream.send("GET /events.html?project=line HTTP/1.1\r\nHost: 127.0.0.1\r\nSec-Fetch-Site: same-origin\r\n"
                "Sec-Fetch-Mode: cors\r\n\r\n");
    QVERIFY(stream.readUntil([](const QByteArray &d) { return d.contains("\"fixed\":{\"v\":1234,"); }, 10000));
    const QRegularExpression tablesRead(R"("in":\{"v":7,"t":\d+,"q":"ok"\},"coil":\{"v":1,"t":\d+,"q":"ok"\},)"
                                        R"("rtuReg":\{"v":0,"t":\d+,"q":"ok"\})");
    QTRY_VERIFY_WITH_TIMEOUT(QString::fromUtf8(ajax("func=getTagValues")).contains(tablesRead), 10000);
    // The poller's frames in the monitor before any interactive call: input registers and coils.
    const QByteArray traffic = ajax("func=getTraffic");
    QVERIFY(traffic.contains("\"fc\":4,") && traffic.contains("\"fc\":1,"));
    QVERIFY(!ajax("func=getStats").startsWith("{\"requests\":0,"));

    // Interactive calls on the bus the poller keeps busy.
    QCOMPARE(ajax(ajaxQuery("connect", tcpConnect(simPort, 1000))), reply::tcpConnected);
    for (int i = 0; i < 5; ++i)
        QCOMPARE(ajax("func=readRegisters&regAddr=1&valuesCnt=1"), QByteArray("[1234]"));
    QCOMPARE(ajax("func=writeTag&name=sp&value=100000"), reply::sent);
    // 100010 as a 32-bit int, low word first.
    QCOMPARE(ajax("func=readRegisters&regAddr=210&valuesCnt=2&regType=uint"), QByteArray("[34474,1]"));
    QVERIFY(stream.readUntil([](const QByteArray &d) { return d.contains("\"sp\":{\"v\":100000,"); }, 10000));
    QCOMPARE(ajax("func=writeTag&name=sp&value=1e10"), reply::valuesError);
    QCOMPARE(ajax("func=writeTag&name=fixed&value=1"), reply::inputError);
    QCOMPARE(ajax("func=writeTag&name=rtuReg&value=77"), reply::sent);
    QVERIFY(stream.readUntil([](const QByteArray &d) { return d.contains("\"rtuReg\":{\"v\":77,"); }, 10000));

    QCOMPARE(ajax("func=stopProject"), QByteArray("{\"ok\":\"Project stopped\"}"));
    QVERIFY(stream.readUntil([](const QByteArray &d) { return d.endsWith("\r\n0\r\n\r\n"); }, 10000));
    QVERIFY(ajax("func=listLogs").startsWith("[\"line-"));
}

QTEST_MAIN(TestProjectApi)
#include "tst_projectapi.moc"
