#include <QCoreApplication>
#include <QTcpSocket>
#include <QtTest>
#include <thread>
#include <unistd.h>

#include "apptestsupport.h"
#include "childprocess.h"
#include "mqttbroker.h"
#include "mqttpublisher.h"

// The publisher against Debian's mosquitto broker on a loopback port, with
// mosquitto_sub as the independent subscriber. Every broker, subscriber and
// child the test starts is killed by its own handle when the test ends.

namespace {

const QString prefix = QStringLiteral("brio/test");
const QByteArray value1 = R"({"v":231.4,"t":1765339200123,"q":"ok"})";

MqttSettings settingsFor(quint16 port)
{
    MqttSettings settings;
    settings.host = QStringLiteral("127.0.0.1");
    settings.port = port;
    settings.clientId = QStringLiteral("brio-test");
    settings.topicPrefix = prefix;
    return settings;
}

bool publishWith(quint16 port, const QString &topic, const QByteArray &payload, bool retain = false)
{
    QStringList args{"-h", "127.0.0.1", "-p", QString::number(port), "-q", "1", "-t", topic, "-m", payload};
    if (retain)
        args << "-r";
    return QProcess::execute(QStringLiteral("mosquitto_pub"), args) == 0;
}

// Writes a test CA, and a certificate it signed for 127.0.0.1, into dir.
bool makeCertificates(const QString &dir, const QString &caName)
{
    const auto run = [&](const QStringList &args) {
        QProcess openssl;
        openssl.setWorkingDirectory(dir);
        openssl.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        openssl.start(QStringLiteral("openssl"), args);
        return openssl.waitForFinished(30000) && openssl.exitCode() == 0;
    };
    const QStringList ec{"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"};
    return run(QStringList{"req", "-x509"} + ec
               + QStringList{"-keyout", caName + ".key", "-out", caName + ".pem", "-days", "2", "-subj",
                             "/CN=Brio test CA"})
            && run(QStringList{"req"} + ec
                   + QStringList{"-keyout", "server.key", "-out", "server.csr", "-subj", "/CN=127.0.0.1", "-addext",
                                 "subjectAltName=IP:127.0.0.1"})
            && run({"x509", "-req", "-in", "server.csr", "-CA", caName + ".pem", "-CAkey", caName + ".key",
                    "-CAcreateserial", "-out", "server.pem", "-days", "2", "-copy_extensions", "copy"});
}

} // namespace

class TestMqtt : public QObject
{
    Q_OBJECT

private slots:
    void statusJson_data();
    void statusJson();
    void retainedValues();
    void setTopic();
    void lastWill();
    void brokerRestart();
    void tls();
};

// clang-format off
void TestMqtt::statusJson_data()
{
    QTest::addColumn<bool>("connected");
    QTest::addColumn<quint64>("published");
    QTest::addColumn<QString>("lastError");
    QTest::addColumn<QByteArray>("json");

    QTest::newRow("connected") << true << quint64(42) << ""
                               << QByteArray(R"({"connected":true,"published":42,"lastError":""})");
    QTest::newRow("error text escaped")
            << false << quint64(18446744073709551615ULL) << "Connection \"refused\"\n\\"
            << QByteArray(
                       R"({"connected":false,"published":18446744073709551615,"lastError":"Connection \"refused\"\n\\"})");
}
// clang-format on

void TestMqtt::statusJson()
{
    QFETCH(bool, connected);
    QFETCH(quint64, published);
    QFETCH(QString, lastError);
    QFETCH(QByteArray, json);
    QCOMPARE(mqttStatusJson({connected, published, lastError}), json);
}

void TestMqtt::retainedValues()
{
    Broker broker;
    QVERIFY(broker.start(freePort()));
    MqttPublisher publisher;
    publisher.start(settingsFor(broker.port), QStringLiteral("p1"));
    publisher.publishValue(QStringLiteral("L1_V"), "{\"v\":1,\"t\":1,\"q\":\"ok\"}");
    publisher.publishValue(QStringLiteral("L1_V"), value1);
    // The poller calls from its bus threads.
    std::thread([&publisher] {
        publisher.publishValue(QStringLiteral("L2_V"), R"({"v":null,"t":null,"q":"stale"})");
    }).join();
    // The first L1_V may go out before the second replaces it if the broker answers in between.
    QTRY_VERIFY_WITH_TIMEOUT(publisher.status().published >= 3, 10000);
    QVERIFY(publisher.status().connected);
    QCOMPARE(publisher.status().lastError, QString());

    // A subscriber that comes later is handed the retained values: the latest per topic.
    Subscriber late;
    QVERIFY(late.start(broker.port));
    QTRY_COMPARE(late.received().size(), 3);
    QList<Received> got = late.received();
    std::sort(got.begin(), got.end(), [](const Received &a, const Received &b) { return a.topic < b.topic; });
    const QStringList expected{prefix + "/p1/L1_V", prefix + "/p1/L2_V", prefix + "/status"};
    const QList<QByteArray> payloads{value1, R"({"v":null,"t":null,"q":"stale"})", "online"};
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(got.at(i).topic, expected.at(i));
        QCOMPARE(got.at(i).payload, payloads.at(i));
        QVERIFY(got.at(i).retained);
        QCOMPARE(got.at(i).qos, 1);
    }

    // A clean stop says offline itself, as the will is not sent then.
    publisher.stop();
    QTRY_COMPARE(late.payloadsOn(prefix + "/status"), QList<QByteArray>({"online", "offline"}));
    QVERIFY(!publisher.status().connected);
}

void TestMqtt::setTopic()
{
    Broker broker;
    QVERIFY(broker.start(freePort()));
    Subscriber subscriber;
    QVERIFY(subscriber.start(broker.port));
    // A retained command would write again at every reconnect, so one the
    // broker hands over on subscribing is ignored.
    QVERIFY(publishWith(broker.port, prefix + "/p1/L2_V/set", "7", true));
    QTest::ignoreMessage(QtWarningMsg,
                         qPrintable("MqttPublisher: retained set message ignored on " + prefix + "/p1/L2_V/set"));
    MqttPublisher publisher;
    QSignalSpy sets(&publisher, &MqttPublisher::setRequested);
    publisher.start(settingsFor(broker.port), QStringLiteral("p1"));
    QTRY_VERIFY(publisher.status().connected);
    QTRY_COMPARE(subscriber.payloadsOn(prefix + "/status"), QList<QByteArray>({"online"}));

    // Other projects' and deeper topics are not ours.
    QVERIFY(publishWith(broker.port, prefix + "/p2/L1_V/set", "8"));
    QVERIFY(publishWith(broker.port, prefix + "/p1/L1_V/set/result", "9"));
    QVERIFY(publishWith(broker.port, prefix + "/p1/L1_V/set", "231.5"));
    QTRY_COMPARE(sets.size(), 1);
    QCOMPARE(sets.at(0).at(0).toString(), QStringLiteral("L1_V"));
    QCOMPARE(sets.at(0).at(1).toByteArray(), QByteArray("231.5"));

    publisher.publishSetResult(QStringLiteral("L1_V"), R"({"ok":"Values successfully sent."})");
    QTRY_COMPARE(subscriber.payloadsOn(prefix + "/p1/L1_V/set/result"),
                 QList<QByteArray>({"9", R"({"ok":"Values successfully sent."})"}));
    const Received result = subscriber.received().constLast();
    QCOMPARE(result.qos, 1);

    // After a move to another project its set topic is the one heard.
    publisher.setProject(QStringLiteral("p2"));
    QVERIFY(publishWith(broker.port, prefix + "/p1/L1_V/set", "1"));
    QVERIFY(publishWith(broker.port, prefix + "/p2/L3_V/set", "2"));
    QTRY_COMPARE(sets.size(), 2);
    QCOMPARE(sets.at(1).at(0).toString(), QStringLiteral("L3_V"));
}

void TestMqtt::lastWill()
{
    Broker broker;
    QVERIFY(broker.start(freePort()));
    Subscriber subscriber;
    QVERIFY(subscriber.start(broker.port));
    Child gateway;
    QVERIFY(gateway.start(QCoreApplication::applicationFilePath(), {"--publisher", QString::number(broker.port)},
                          "connected"));
    QTRY_COMPARE(subscriber.payloadsOn(prefix + "/status"), QList<QByteArray>({"online"}));
    QTRY_COMPARE(subscriber.payloadsOn(prefix + "/p1/L1_V"), QList<QByteArray>({value1}));

    gateway.process.kill(); // no DISCONNECT: the broker speaks the will
    QVERIFY(gateway.process.waitForFinished(5000));
    QTRY_COMPARE(subscriber.payloadsOn(prefix + "/status"), QList<QByteArray>({"online", "offline"}));

    Subscriber late;
    QVERIFY(late.start(broker.port));
    QTRY_COMPARE(late.payloadsOn(prefix + "/status"), QList<QByteArray>({"offline"}));
    QVERIFY(late.received().constFirst().retained);
}

void TestMqtt::brokerRestart()
{
    Broker broker;
    QVERIFY(broker.start(freePort()));
    MqttPublisher publisher;
    QSignalSpy changes(&publisher, &MqttPublisher::connectedChanged);
    publisher.start(settingsFor(broker.port), QStringLiteral("p1"));
    publisher.publishValue(QStringLiteral("A"), "a0");
    QTRY_COMPARE_WITH_TIMEOUT(publisher.status().published, quint64(2), 10000);

    broker.kill();
    QTRY_VERIFY(!publisher.status().connected);
    QVERIFY(!publisher.status().lastError.isEmpty());
    // While the broker is away only the latest value per tag is kept.
    for (const QByteArray &v : QList<QByteArray>{"a1", "a2", "a3"})
        publisher.publishValue(QStringLiteral("A"), v);
    for (const QByteArray &v : QList<QByteArray>{"b1", "b2"})
        publisher.publishValue(QStringLiteral("B"), v);
    QTest::qWait(300);
    QVERIFY(broker.start(broker.port));
    Subscriber subscriber;
    QVERIFY(subscriber.start(broker.port));

    QTRY_VERIFY_WITH_TIMEOUT(publisher.status().connected, 40000);
    QTRY_COMPARE(subscriber.payloadsOn(prefix + "/p1/A"), QList<QByteArray>({"a3"}));
    QTRY_COMPARE(subscriber.payloadsOn(prefix + "/p1/B"), QList<QByteArray>({"b2"}));
    // online and a0 before; online, a3 and b2 after: nothing else was sent.
    QTRY_COMPARE(publisher.status().published, quint64(5));
    QTest::qWait(300);
    QCOMPARE(publisher.status().published, quint64(5));
    QCOMPARE(subscriber.payloadsOn(prefix + "/status"), QList<QByteArray>({"online"}));
    QCOMPARE(publisher.status().lastError, QString());
    QCOMPARE(changes.size(), 3); // up, down, up
}

void TestMqtt::tls()
{
    QTemporaryDir certs;
    QVERIFY(makeCertificates(certs.path(), QStringLiteral("ca")));
    QTemporaryDir otherCa;
    QVERIFY(makeCertificates(otherCa.path(), QStringLiteral("ca")));

    Broker broker;
    const QByteArray tlsLines = "cafile " + certs.filePath("ca.pem").toUtf8() + "\ncertfile "
            + certs.filePath("server.pem").toUtf8() + "\nkeyfile " + certs.filePath("server.key").toUtf8() + "\n";
    QVERIFY(broker.start(freePort(), tlsLines));
    Subscriber subscriber;
    QVERIFY(subscriber.start(broker.port, {"--cafile", certs.filePath("ca.pem")}));

    MqttSettings settings = settingsFor(broker.port);
    settings.tls = true;
    settings.caFile = otherCa.filePath(QStringLiteral("ca.pem"));
    {
        // A broker whose certificate no trusted CA signed is refused.
        MqttPublisher refused;
        refused.start(settings, QStringLiteral("p1"));
        QTRY_VERIFY(!refused.status().lastError.isEmpty());
        QVERIFY(!refused.status().connected);
    }
    settings.caFile = certs.filePath(QStringLiteral("ca.pem"));
    MqttPublisher publisher;
    publisher.start(settings, QStringLiteral("p1"));
    publisher.publishValue(QStringLiteral("L1_V"), value1);
    QTRY_COMPARE(subscriber.payloadsOn(prefix + "/p1/L1_V"), QList<QByteArray>({value1}));
    QVERIFY(publisher.status().connected);
    QCOMPARE(subscriber.payloadsOn(prefix + "/status"), QList<QByteArray>({"online"}));
}

// Run as "--publisher <port>": a gateway that publishes one value and runs
// until it is killed, for the will.
static int runPublisher(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    MqttPublisher publisher;
    QObject::connect(&publisher, &MqttPublisher::connectedChanged, [](bool connected) {
        if (connected) {
            fputs("connected\n", stdout);
            fflush(stdout);
        }
    });
    publisher.start(settingsFor(quint16(QByteArray(argv[2]).toUInt())), QStringLiteral("p1"));
    publisher.publishValue(QStringLiteral("L1_V"), value1);
    return app.exec();
}

int main(int argc, char **argv)
{
    if (argc == 3 && qstrcmp(argv[1], "--publisher") == 0)
        return runPublisher(argc, argv);
    QCoreApplication app(argc, argv);
    TestMqtt test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_mqtt.moc"
