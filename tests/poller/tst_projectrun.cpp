// A project run by the real program, end to end: two TCP devices on two
// buses (modbus-sim and the pymodbus peer), a mosquitto broker with
// mosquitto_sub listening, and a register write seen in the CSV log, the
// event stream and the broker alike.
#include <QDateTime>
#include <QDir>
#include <QUrl>
#include <QtTest>
#include <memory>
#include <vector>

#include "apptestsupport.h"
#include "childprocess.h"
#include "httpclient.h"
#include "modbusfixtures.h"
#include "mqttbroker.h"

using namespace modbusfix;

namespace {

const QString topicPrefix = QStringLiteral("brio/e2e");
const QByteArray streamRequest = "GET /events.html?project=plant HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                                 "X-Requested-With: XMLHttpRequest\r\n\r\n";

QByteArray project(int simPort, int peerPort)
{
    const QByteArray device = R"({"name":"%1","connType":"tcp","ipAddres_tcp":"127.0.0.1","port_tcp":%2,)"
                              R"("slaveID":1,"timeout":1000})";
    return "{\"devices\":[" + QByteArray(device).replace("%1", "sim").replace("%2", QByteArray::number(simPort)) + ","
            + QByteArray(device).replace("%1", "peer").replace("%2", QByteArray::number(peerPort))
            + R"(],"tags":[)"
              R"({"name":"setpoint","device":"sim","table":"holding","regAddr":200,"scale":0.1,"pollMs":100,"writable":true},)"
              R"({"name":"peerReg","device":"peer","table":"holding","regAddr":50,"pollMs":100},)"
              R"({"name":"fixed","device":"sim","table":"holding","regAddr":1,"pollMs":100}]})";
}

} // namespace

class TestProjectRun : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void writesReachLogStreamAndBroker();
    void streamsAreCappedAndEndWithTheProject();

private:
    QByteArray ajax(const QByteArray &query);
    QString logFile() const;

    Child sim;
    Child peer;
    Broker broker;
    Subscriber subscriber;
    ProgramRun run;
    int simPort = 0;
    int peerPort = 0;
    quint16 httpPort = 0;
};

QByteArray TestProjectRun::ajax(const QByteArray &query)
{
    const HttpReply reply = testclient::get(httpPort, "/ajax.html?" + query);
    return reply.complete && reply.status == 200 ? reply.body : "bad HTTP reply: " + reply.statusLine;
}

QString TestProjectRun::logFile() const
{
    return run.dir.filePath(QStringLiteral("logs/plant-"))
            + QDateTime::currentDateTimeUtc().date().toString(Qt::ISODate) + QStringLiteral(".csv");
}

void TestProjectRun::initTestCase()
{
    QVERIFY(run.ok);
    simPort = startSim(sim);
    QVERIFY2(simPort > 0, sim.output);
    peerPort = startTcpPeer(peer);
    QVERIFY2(peerPort > 0, peer.output + peer.process.readAllStandardError());
    QVERIFY(broker.start(freePort()));
    QVERIFY(subscriber.start(broker.port, {}, topicPrefix));

    httpPort = freePort();
    QVERIFY(run.writeConfig("[listener]\nhost=127.0.0.1\nport=" + QByteArray::number(httpPort)
                            + "\nreadTimeout=30000\n[docroot]\npath=www\n[mqtt]\nhost=127.0.0.1\nport="
                            + QByteArray::number(broker.port)
                            + "\nclientId=brio-e2e\ntopicPrefix=" + topicPrefix.toUtf8()
                            + "\n[logging]\ndirectory=" + run.dir.filePath(QStringLiteral("logs")).toUtf8() + "\n"));
    run.start({QStringLiteral("-r")}, {"XDG_DATA_HOME=" + run.dir.filePath(QStringLiteral("data"))});
    QTRY_VERIFY_WITH_TIMEOUT(run.log.contains("HttpListener: Listening on port"), 20000);

    // The page posts the project form-encoded.
    const QByteArray body = "func=saveProject&name=plant&json=" + QUrl::toPercentEncoding(project(simPort, peerPort));
    const HttpReply saved = testclient::post(httpPort, "/ajax.html", "application/x-www-form-urlencoded", body);
    QCOMPARE(saved.body, QByteArray("{\"ok\":\"Project saved\"}"));
    QCOMPARE(ajax("func=listProjects"), QByteArray("[\"plant\"]"));
    QCOMPARE(ajax("func=startProject&name=plant"), QByteArray("{\"ok\":\"Project started\"}"));
}

void TestProjectRun::writesReachLogStreamAndBroker()
{
    httptest::Client stream(httpPort);
    stream.send(streamRequest);
    QVERIFY(stream.readUntil([](const QByteArray &d) { return d.contains("\"fixed\":{\"v\":1234,"); }, 10000));
    QVERIFY(stream.received.startsWith("HTTP/1.1 200 OK\r\n"));
    QVERIFY(stream.received.contains("\r\nContent-Type: text/event-stream\r\n"));

    // A tag write through scale, and an interactive write on the other
    // device's bus while the poller uses it.
    QCOMPARE(ajax("func=writeTag&name=setpoint&value=12.5"), reply::sent);
    QCOMPARE(ajax(ajaxQuery("connect", tcpConnect(peerPort, 1000))), reply::tcpConnected);
    QCOMPARE(ajax("func=writeRegisters&regAddr=50&valuesCnt=1&regVals=%5B4242%5D"), reply::sent);

    QVERIFY(stream.readUntil(
            [](const QByteArray &d) {
                const int at = d.lastIndexOf("event: values\ndata: ");
                return at >= 0 && d.indexOf("\"setpoint\":{\"v\":12.5,", at) > 0
                        && d.indexOf("\"peerReg\":{\"v\":4242,", at) > 0;
            },
            10000));
    const auto published = [&](const QString &tag, const QByteArray &start) {
        for (const QByteArray &payload : subscriber.payloadsOn(topicPrefix + "/plant/" + tag)) {
            if (payload.startsWith(start) && payload.endsWith(",\"q\":\"ok\"}"))
                return true;
        }
        return false;
    };
    QTRY_VERIFY_WITH_TIMEOUT(published(QStringLiteral("setpoint"), "{\"v\":12.5,\"t\":"), 10000);
    QTRY_VERIFY_WITH_TIMEOUT(published(QStringLiteral("peerReg"), "{\"v\":4242,\"t\":"), 10000);
    QTRY_VERIFY_WITH_TIMEOUT(readFile(logFile()).contains(",12.5,4242,1234\n"), 10000);
    QVERIFY(readFile(logFile()).startsWith("time,setpoint,peerReg,fixed\n"));

    // Set over MQTT: a writable tag is written, anything else refused before the bus.
    QCOMPARE(QProcess::execute(QStringLiteral("mosquitto_pub"),
                               {"-p", QString::number(broker.port), "-q", "1", "-t",
                                topicPrefix + "/plant/setpoint/set", "-m", "-3"}),
             0);
    QCOMPARE(QProcess::execute(QStringLiteral("mosquitto_pub"),
                               {"-p", QString::number(broker.port), "-q", "1", "-t", topicPrefix + "/plant/peerReg/set",
                                "-m", "1"}),
             0);
    QTRY_COMPARE_WITH_TIMEOUT(subscriber.payloadsOn(topicPrefix + "/plant/setpoint/set/result"),
                              QList<QByteArray>{reply::sent}, 10000);
    QTRY_COMPARE_WITH_TIMEOUT(subscriber.payloadsOn(topicPrefix + "/plant/peerReg/set/result"),
                              QList<QByteArray>{reply::inputError}, 10000);
    QTRY_VERIFY_WITH_TIMEOUT(published(QStringLiteral("setpoint"), "{\"v\":-3,\"t\":"), 10000);
    QVERIFY(ajax("func=getTagValues").contains("\"peerReg\":{\"v\":4242,"));
    QCOMPARE(ajax("func=readRegisters&regAddr=50&valuesCnt=1"), QByteArray("[4242]"));
    QCOMPARE(ajax("func=writeTag&name=peerReg&value=1"), reply::inputError);
    QVERIFY(ajax("func=getMqttStatus").startsWith("{\"connected\":true,\"published\":"));

    const QByteArray logs = ajax("func=listLogs");
    const QByteArray name = QFileInfo(logFile()).fileName().toUtf8();
    QCOMPARE(logs, "[\"" + name + "\"]");
    const HttpReply csv = testclient::get(httpPort, "/ajax.html?func=downloadLog&file=" + name);
    QCOMPARE(csv.headers.value("Content-Type"), QByteArray("text/csv"));
    QVERIFY(csv.body.startsWith("time,setpoint,peerReg,fixed\n"));
    QCOMPARE(ajax("func=downloadLog&file=../config.ini"), reply::inputError);
}

void TestProjectRun::streamsAreCappedAndEndWithTheProject()
{
    // A browser that went away frees its place within a second or so.
    const auto open = [this](std::unique_ptr<httptest::Client> &client) {
        return httptest::waitFor(
                [&] {
                    client = std::make_unique<httptest::Client>(httpPort);
                    client->send(streamRequest);
                    return client->readUntil([](const QByteArray &d) { return d.contains("event: values"); }, 500);
                },
                10000);
    };
    std::vector<std::unique_ptr<httptest::Client>> streams(16);
    for (auto &stream : streams)
        QVERIFY(open(stream));
    httptest::Client refused(httpPort);
    refused.send(streamRequest);
    QVERIFY(refused.readUntil([](const QByteArray &d) { return d.contains("\r\n\r\n"); }));
    QVERIFY(refused.received.startsWith("HTTP/1.1 503 "));

    streams.pop_back();
    std::unique_ptr<httptest::Client> next;
    QVERIFY(open(next));

    QCOMPARE(ajax("func=stopProject"), QByteArray("{\"ok\":\"Project stopped\"}"));
    QVERIFY(next->readUntil([](const QByteArray &d) { return d.endsWith("\r\n0\r\n\r\n"); }, 10000));
    QCOMPARE(ajax("func=getTagValues"), QByteArray("{\"project\":\"\",\"tags\":{}}"));
    const HttpReply gone = testclient::get(httpPort, "/events.html?project=plant");
    QCOMPARE(gone.status, 404);
}

QTEST_MAIN(TestProjectRun)
#include "tst_projectrun.moc"
