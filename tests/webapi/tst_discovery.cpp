#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

#include <csignal>
#include <memory>

#include "devicefinder.h"
#include "httplistener.h"
#include "myhttprequesthandler.h"
#include "apptestsupport.h"
#include "childprocess.h"
#include "httptestsupport.h"
#include "routerclient.h"

namespace {

const QByteArray meterReply = "Meter A\r\n00:11:22:33:44:55\r\n1502\r\n7\r\n";
const QByteArray meterJson = "[{\"name\":\"Meter A\",\"ip\":\"127.0.0.1\",\"port\":\"1502\","
                             "\"mac\":\"00:11:22:33:44:55\",\"modbusid\":\"7\"}]";

// A device on loopback: answers every request with the configured replies,
// from 127.0.0.1 and, when asked, from 127.0.0.2 too.
class Responder : public QObject
{
public:
    Responder()
    {
        socket.bind(QHostAddress(QStringLiteral("127.0.0.1")), 0);
        other.bind(QHostAddress(QStringLiteral("127.0.0.2")), 0);
        connect(&socket, &QUdpSocket::readyRead, this, [this] {
            while (socket.hasPendingDatagrams()) {
                QHostAddress sender;
                quint16 senderPort = 0;
                QByteArray datagram(int(socket.pendingDatagramSize()), '\0');
                socket.readDatagram(datagram.data(), datagram.size(), &sender, &senderPort);
                requests.append(datagram);
                arrivals.append(clock.elapsed());
                for (const QByteArray &reply : qAsConst(replies))
                    socket.writeDatagram(reply, sender, senderPort);
                for (const QByteArray &reply : qAsConst(otherReplies))
                    other.writeDatagram(reply, sender, senderPort);
                if (flood > 0)
                    sendFlood(sender, senderPort, 0);
                if (!late.isEmpty())
                    QTimer::singleShot(lateBy, &socket,
                                       [this, sender, senderPort] { socket.writeDatagram(late, sender, senderPort); });
            }
        });
    }
    // flood distinct devices, in small batches so that loopback drops none.
    void sendFlood(const QHostAddress &to, quint16 toPort, int from)
    {
        const int end = qMin(from + 20, flood);
        for (int i = from; i < end; ++i)
            socket.writeDatagram("Spoof " + QByteArray::number(i) + "\n" + QByteArray::number(i) + "\n502\r\n1\r\n", to,
                                 toPort);
        if (end < flood)
            QTimer::singleShot(2, &socket, [=] { sendFlood(to, toPort, end); });
    }
    void reset(const QList<QByteArray> &fromFirst, const QList<QByteArray> &fromSecond = {})
    {
        replies = fromFirst;
        otherReplies = fromSecond;
        flood = 0;
        late.clear();
        requests.clear();
        arrivals.clear();
        clock.start();
    }
    quint16 port() const { return socket.localPort(); }

    QUdpSocket socket;
    QUdpSocket other;
    QList<QByteArray> replies;
    QList<QByteArray> otherReplies;
    int flood = 0;
    QByteArray late;
    int lateBy = 0;
    QList<QByteArray> requests;
    QList<qint64> arrivals;
    QElapsedTimer clock;
};

bool processGone(qint64 pid)
{
    return pid > 0 && ::kill(pid_t(pid), 0) != 0;
}

DeviceFinder::Config aimedAt(quint16 port, int searchWindow = DeviceFinder::defaultSearchWindow)
{
    DeviceFinder::Config config;
    config.broadcastAddress = QHostAddress::LocalHost;
    config.port = port;
    config.searchWindow = searchWindow;
    return config;
}

// The helper's place: beside the executable, whatever the working directory.
QString installedHelper()
{
    return QCoreApplication::applicationDirPath() + QLatin1Char('/') + QLatin1String(DeviceFinder::helperProgram);
}

} // namespace

Q_DECLARE_METATYPE(Device)

class TestDiscovery : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();

    void datagramToDevice_data();
    void datagramToDevice();
    void devicesToJson_data();
    void devicesToJson();

    void twoRequestsSpacedApart();
    void duplicatesAndNulCut();
    void searchBounds_data();
    void searchBounds();
    void emptyResult();
    void collectionBefore500ms();
    void collectionFromAnotherConnection();
    void secondSearchReplacesTheFirst();
    void routerReleasesAnUncollectedSearch();
    void defaultBroadcastInNamespace();
    void broadcastChild();

private:
    QByteArray ajax(const QByteArray &func) { return testclient::get(port, "/ajax.html?func=" + func).body; }
    QList<qint64> helperPids() const;
    QString writeConfig(const QString &name, const QByteArray &discovery);

    QTemporaryDir dir;
    QString originalDir;
    std::unique_ptr<Responder> responder;
    std::unique_ptr<QSettings> docroot;
    std::unique_ptr<QSettings> listenerSettings;
    std::unique_ptr<MyHttpRequestHandler> router;
    std::unique_ptr<HttpListener> listener;
    quint16 port = 0;
};

QString TestDiscovery::writeConfig(const QString &name, const QByteArray &discovery)
{
    const QString file = dir.filePath(name);
    writeFile(file,
              "[listener]\nhost=127.0.0.1\nport=0\nminThreads=2\nmaxThreads=10\n"
              "[docroot]\npath=.\n"
                      + discovery);
    return file;
}

void TestDiscovery::initTestCase()
{
    if (qEnvironmentVariableIsSet("BRIO_NETNS_CHILD"))
        return;
    QVERIFY(dir.isValid());
    // The helper beside the executable notes its pid and waits to be
    // killed; one planted in the working directory must never run.
    originalDir = QDir::currentPath();
    QVERIFY(QDir::setCurrent(dir.path()));
    QVERIFY(QDir().mkpath(QFileInfo(installedHelper()).absolutePath()));
    QVERIFY(writeFile(installedHelper(), "#!/bin/sh\necho $$ >> helper.pids\nexec sleep 120\n", true));
    QVERIFY(QDir().mkpath(QStringLiteral("platforms")));
    QVERIFY(writeFile(QString::fromLatin1(DeviceFinder::helperProgram), "#!/bin/sh\necho $$ >> planted.pids\n", true));

    responder = std::make_unique<Responder>();
    QVERIFY(responder->port() != 0);
    const QString config = writeConfig(
            QStringLiteral("config.ini"),
            "[discovery]\nbroadcastAddress=127.0.0.1\nport=" + QByteArray::number(responder->port()) + '\n');
    docroot = std::make_unique<QSettings>(config, QSettings::IniFormat);
    docroot->beginGroup(QStringLiteral("docroot"));
    listenerSettings = std::make_unique<QSettings>(config, QSettings::IniFormat);
    listenerSettings->beginGroup(QStringLiteral("listener"));
    router = std::make_unique<MyHttpRequestHandler>(nullptr, docroot.get());
    listener = std::make_unique<HttpListener>(listenerSettings.get(), router.get());
    QVERIFY(listener->isListening());
    port = listener->serverPort();
}

void TestDiscovery::cleanupTestCase()
{
    listener.reset();
    router.reset();
    for (qint64 pid : helperPids()) {
        if (!processGone(pid))
            ::kill(pid_t(pid), SIGKILL);
    }
    if (!originalDir.isEmpty())
        QDir::setCurrent(originalDir);
    QFile::remove(installedHelper());
    QDir().rmdir(QFileInfo(installedHelper()).absolutePath());
    QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("planted.pids"))));
}

QList<qint64> TestDiscovery::helperPids() const
{
    QList<qint64> pids;
    for (const QByteArray &line : readFile(dir.filePath(QStringLiteral("helper.pids"))).split('\n')) {
        if (!line.isEmpty())
            pids.append(line.toLongLong());
    }
    return pids;
}

// clang-format off
void TestDiscovery::datagramToDevice_data()
{
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("mac");
    QTest::addColumn<int>("port");
    QTest::addColumn<int>("modbusid");

    QTest::newRow("CR LF lines") << meterReply << "Meter A" << "00:11:22:33:44:55" << 1502 << 7;
    QTest::newRow("bare LF loses a digit") << QByteArray("A\nB\n502\n7") << "A" << "B" << 50 << 7;
    QTest::newRow("no third line") << QByteArray("A\nB\n") << "A" << "B" << 502 << 1;
    QTest::newRow("third line without LF") << QByteArray("A\nB\n1502") << "A" << "B" << 502 << 1;
    QTest::newRow("port 0") << QByteArray("A\nB\n0\r\n3") << "A" << "B" << 502 << 3;
    QTest::newRow("port -5") << QByteArray("A\nB\n-5\r\n3") << "A" << "B" << 502 << 3;
    QTest::newRow("port abc") << QByteArray("A\nB\nabc\r\n3") << "A" << "B" << 502 << 3;
    QTest::newRow("modbusid 0") << QByteArray("A\nB\n1502\r\n0") << "A" << "B" << 1502 << 1;
    QTest::newRow("modbusid -1") << QByteArray("A\nB\n1502\r\n-1") << "A" << "B" << 1502 << 1;
    QTest::newRow("port 2^31-1") << QByteArray("A\nB\n2147483647\r\n1") << "A" << "B" << 2147483647 << 1;
    QTest::newRow("port 2^31") << QByteArray("A\nB\n2147483648\r\n1") << "A" << "B" << 502 << 1;
    QTest::newRow("modbusid 2^64") << QByteArray("A\nB\n1\r\n18446744073709551616") << "A" << "B" << 1 << 1;
    QTest::newRow("empty third line: no port") << QByteArray("A\nB\n\n7") << "A" << "B" << 502 << 7;
    QTest::newRow("more lines spoil modbusid") << QByteArray("A\nB\n1\r\n5\r\nx") << "A" << "B" << 1 << 1;
    QTest::newRow("white space trimmed") << QByteArray("  A \t\r\n B \r\n 1502 \r\n 9 \r\n") << "A" << "B" << 1502 << 9;
    QTest::newRow("no LF after line 2") << QByteArray("A\nB") << "A" << "" << 502 << 1;
    QTest::newRow("name alone") << QByteArray("A") << "" << "" << 502 << 1;
    QTest::newRow("empty") << QByteArray() << "" << "" << 502 << 1;
    QTest::newRow("NUL ends the reply") << QByteArray("A\nB\n1502\r\n7\0\n9", 15) << "A" << "B" << 1502 << 7;
    QTest::newRow("Latin-1") << QByteArray("\xe9t\xe9\nB\n") << QString::fromUtf8("été") << "B" << 502 << 1;
}
// clang-format on

void TestDiscovery::datagramToDevice()
{
    QFETCH(QByteArray, datagram);
    QFETCH(QString, name);
    QFETCH(QString, mac);
    QFETCH(int, port);
    QFETCH(int, modbusid);
    const Device device = DeviceFinder::datagramToDevice(QStringLiteral("10.0.0.9"), DeviceFinder::replyText(datagram));
    QCOMPARE(device.name, name);
    QCOMPARE(device.mac, mac);
    QCOMPARE(device.port, port);
    QCOMPARE(device.modbusid, modbusid);
    QCOMPARE(device.ip, QStringLiteral("10.0.0.9"));
}

void TestDiscovery::devicesToJson_data()
{
    QTest::addColumn<QVector<Device>>("devices");
    QTest::addColumn<QByteArray>("json");

    const Device meter(QStringLiteral("Meter A"), QStringLiteral("192.168.1.10"), 502,
                       QStringLiteral("00:11:22:33:44:55"), 1);
    const QByteArray meterText = "{\"name\":\"Meter A\",\"ip\":\"192.168.1.10\",\"port\":\"502\","
                                 "\"mac\":\"00:11:22:33:44:55\",\"modbusid\":\"1\"}";
    Device mapped = meter;
    mapped.ip = QStringLiteral("::ffff:192.168.1.10");
    Device v6 = meter;
    v6.ip = QStringLiteral("fe80::1");
    Device upper = meter;
    upper.ip = QStringLiteral("::FFFF:10.0.0.1");
    const Device hostile(QStringLiteral("A\"},{\"x\":\"</script>\\"), QStringLiteral("10.0.0.2"), 1,
                         QStringLiteral("m\n\x01\t"), 2);
    const Device latin(QString::fromUtf8("Zähler/1"), QStringLiteral("10.0.0.3"), 7, QStringLiteral("a"), 9);

    QTest::newRow("none: no bytes at all") << QVector<Device>() << QByteArray();
    QTest::newRow("one") << QVector<Device>{meter} << "[" + meterText + "]";
    QTest::newRow("mapped IPv4") << QVector<Device>{mapped} << "[" + meterText + "]";
    QTest::newRow("IPv6 as rendered") << QVector<Device>{v6}
                                      << "[" + QByteArray(meterText).replace("192.168.1.10", "fe80::1") + "]";
    QTest::newRow("prefix is case-sensitive")
            << QVector<Device>{upper} << "[" + QByteArray(meterText).replace("192.168.1.10", "::FFFF:10.0.0.1") + "]";
    QTest::newRow("two in arrival order")
            << QVector<Device>{meter, v6}
            << "[" + meterText + "," + QByteArray(meterText).replace("192.168.1.10", "fe80::1") + "]";
    QTest::newRow("hostile texts escaped")
            << QVector<Device>{hostile}
            << QByteArray("[{\"name\":\"A\\\"},{\\\"x\\\":\\\"</script>\\\\\",\"ip\":\"10.0.0.2\",\"port\":\"1\","
                          "\"mac\":\"m\\n\\u0001\\t\",\"modbusid\":\"2\"}]");
    QTest::newRow("plain bytes kept") << QVector<Device>{latin}
                                      << QByteArray("[{\"name\":\"Z\xc3\xa4hler/1\",\"ip\":\"10.0.0.3\",\"port\":\"7\","
                                                    "\"mac\":\"a\",\"modbusid\":\"9\"}]");
}

void TestDiscovery::devicesToJson()
{
    QFETCH(QVector<Device>, devices);
    QFETCH(QByteArray, json);
    const QByteArray result = DeviceFinder::devicesToJson(devices);
    QCOMPARE(result, json);
    if (devices.isEmpty())
        return;
    // Whatever the texts hold, the browser reads back what the devices sent.
    const QJsonArray array = QJsonDocument::fromJson(result).array();
    QCOMPARE(array.size(), devices.size());
    for (int i = 0; i < devices.size(); ++i) {
        QCOMPARE(array.at(i).toObject().value(QStringLiteral("name")).toString(), devices.at(i).name);
        QCOMPARE(array.at(i).toObject().value(QStringLiteral("mac")).toString(), devices.at(i).mac);
    }
}

void TestDiscovery::twoRequestsSpacedApart()
{
    responder->reset({meterReply});
    DeviceFinder finder(aimedAt(responder->port()));
    QTest::qWait(1300);
    QCOMPARE(responder->requests, (QList<QByteArray>{"D", "D"}));
    // About 500 and 800 ms after the start. Timers may fire late, never more
    // than 5 % early: only the lower bounds are firm.
    QVERIFY2(responder->arrivals.at(0) >= 450, qPrintable(QString::number(responder->arrivals.at(0))));
    QVERIFY2(responder->arrivals.at(1) >= 740, qPrintable(QString::number(responder->arrivals.at(1))));
    QCOMPARE(finder.getSearchedDevices(), meterJson);
}

void TestDiscovery::duplicatesAndNulCut()
{
    // The same device answers both requests; a second reply with the same ip
    // and mac loses to the first; the same mac from another ip counts.
    responder->reset({meterReply + QByteArray("\0\n\nX", 4), "Renamed\r\n00:11:22:33:44:55\r\n9\r\n9\r\n"},
                     {meterReply});
    DeviceFinder finder(aimedAt(responder->port()));
    QVERIFY(httptest::waitFor([&] { return finder.foundDevices().size() >= 2 && responder->requests.size() == 2; }));
    QTest::qWait(200);
    const QByteArray second = QByteArray(meterJson).replace("127.0.0.1", "127.0.0.2");
    QCOMPARE(finder.getSearchedDevices(), meterJson.chopped(1) + ',' + second.mid(1));
}

void TestDiscovery::searchBounds_data()
{
    QTest::addColumn<int>("searchWindow");
    QTest::addColumn<QList<QByteArray>>("replies");
    QTest::addColumn<int>("flood");
    QTest::addColumn<QByteArray>("late"); // sent 700 ms after each request
    QTest::addColumn<int>("requests");
    QTest::addColumn<int>("devices");

    const QByteArray head = "Big\n00:00\n502\r\n1\r\n";
    const QByteArray kib = head + QByteArray(1024 - head.size(), ' ');
    QTest::newRow("1 KiB taken, 1 KiB + 1 ignored")
            << 3000 << QList<QByteArray>{kib, "Over\n01:01\n502\r\n1\r\n" + QByteArray(1024, ' ')} << 0 << QByteArray()
            << 2 << 1;
    QTest::newRow("1500 spoofed replies, 256 kept") << 3000 << QList<QByteArray>() << 1500 << QByteArray() << 2 << 256;
    QTest::newRow("replies after the window ignored")
            << 1000 << QList<QByteArray>{meterReply} << 0 << QByteArray("Late\n02:02\n502\r\n1\r\n") << 2 << 1;
    QTest::newRow("window over before the requests")
            << 300 << QList<QByteArray>{meterReply} << 0 << QByteArray() << 0 << 0;
}

void TestDiscovery::searchBounds()
{
    QFETCH(int, searchWindow);
    QFETCH(QList<QByteArray>, replies);
    QFETCH(int, flood);
    QFETCH(QByteArray, late);
    QFETCH(int, requests);
    QFETCH(int, devices);
    responder->reset(replies);
    responder->flood = flood;
    responder->late = late;
    responder->lateBy = 700;
    DeviceFinder finder(aimedAt(responder->port(), searchWindow));
    QVERIFY(finder.receiverThread() != QThread::currentThread());
    // The late reply to the second request leaves at about 1500 ms.
    QTest::qWait(qMax(searchWindow, 1500) + 500);
    QCOMPARE(responder->requests.size(), requests);
    const QVector<Device> found = finder.foundDevices();
    QCOMPARE(found.size(), devices);
    if (flood > 0) // the first ones, in the order they came
        QCOMPARE(found.at(255).name, QStringLiteral("Spoof 255"));
    QVERIFY(DeviceFinder::devicesToJson(found).size() < 256 * 1200);
}

void TestDiscovery::emptyResult()
{
    responder->reset({});
    QCOMPARE(ajax("startSearchingDevices"), QByteArray("ok"));
    QVERIFY(httptest::waitFor([&] { return responder->requests.size() == 2; }));
    QCOMPARE(ajax("getSearchedDevices"), QByteArray());
    // Collected: there is no search left to ask.
    QCOMPARE(ajax("getSearchedDevices"), QByteArray());
}

void TestDiscovery::collectionBefore500ms()
{
    responder->reset({meterReply});
    QCOMPARE(ajax("startSearchingDevices"), QByteArray("ok"));
    const QByteArray result = ajax("getSearchedDevices");
    if (responder->clock.elapsed() >= 450)
        QSKIP("this machine took 450 ms for two requests");
    QCOMPARE(result, QByteArray());
    // A collected search sends nothing more.
    QTest::qWait(1000);
    QCOMPARE(responder->requests.size(), 0);
}

void TestDiscovery::collectionFromAnotherConnection()
{
    responder->reset({meterReply});
    // The starting connection stays open, so its handler thread stays busy
    // and the collection is served by another one.
    httptest::Client starter(port);
    QVERIFY(starter.isConnected());
    starter.send("GET /ajax.html?func=startSearchingDevices HTTP/1.1\r\nHost: 127.0.0.1\r\n" + testclient::proofHeader
                 + "\r\n");
    QCOMPARE(httptest::bodyOf(starter.readResponse()), QByteArray("ok"));
    QVERIFY(httptest::waitFor([&] { return responder->requests.size() == 2; }));
    QTest::qWait(100);
    QCOMPARE(ajax("getSearchedDevices"), meterJson);
    QVERIFY(starter.isConnected());
}

void TestDiscovery::secondSearchReplacesTheFirst()
{
    responder->reset({meterReply});
    QFile::remove(dir.filePath(QStringLiteral("helper.pids")));
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(ajax("startSearchingDevices"), QByteArray("ok"));
    // Once the first helper has noted its pid, normally long before 500 ms.
    QVERIFY(httptest::waitFor([&] { return helperPids().size() == 1; }));
    const bool early = clock.elapsed() < 400;
    QCOMPARE(ajax("startSearchingDevices"), QByteArray("ok"));
    QVERIFY(httptest::waitFor([&] { return helperPids().size() == 2; }));
    const QList<qint64> pids = helperPids();
    // The first search and its helper are gone before they sent anything.
    QVERIFY(httptest::waitFor([&] { return processGone(pids.at(0)); }));
    QVERIFY(!processGone(pids.at(1)));
    QVERIFY(httptest::waitFor([&] { return responder->requests.size() == 2; }));
    QTest::qWait(500);
    if (early) // the first search never got to send
        QCOMPARE(responder->requests.size(), 2);
    QCOMPARE(ajax("getSearchedDevices"), meterJson);
    QVERIFY(httptest::waitFor([&] { return processGone(pids.at(1)); }));
}

void TestDiscovery::routerReleasesAnUncollectedSearch()
{
    QFile::remove(dir.filePath(QStringLiteral("helper.pids")));
    const QString config = writeConfig(
            QStringLiteral("other.ini"),
            "[discovery]\nbroadcastAddress=127.0.0.1\nport=" + QByteArray::number(responder->port()) + '\n');
    QSettings otherDocroot(config, QSettings::IniFormat);
    otherDocroot.beginGroup(QStringLiteral("docroot"));
    QSettings otherListenerSettings(config, QSettings::IniFormat);
    otherListenerSettings.beginGroup(QStringLiteral("listener"));
    auto otherRouter = std::make_unique<MyHttpRequestHandler>(nullptr, &otherDocroot);
    auto otherListener = std::make_unique<HttpListener>(&otherListenerSettings, otherRouter.get());
    QVERIFY(otherListener->isListening());
    QCOMPARE(testclient::get(otherListener->serverPort(), "/ajax.html?func=startSearchingDevices").body,
             QByteArray("ok"));
    QVERIFY(httptest::waitFor([&] { return helperPids().size() == 1; }));
    // The handler threads end first, as when the program quits.
    otherListener.reset();
    otherRouter.reset();
    QVERIFY(processGone(helperPids().at(0)));
}

// The real default address leaves only inside a pair of network namespaces
// made here: this process runs broadcastChild in one of them, a device
// answers in the other, joined by a veth pair.
void TestDiscovery::defaultBroadcastInNamespace()
{
    if (qEnvironmentVariableIsSet("BRIO_NETNS_CHILD"))
        QSKIP("the namespace side runs broadcastChild only");
    const QString suffix = QString::number(QCoreApplication::applicationPid());
    const QString nsA = QStringLiteral("brio-disc-a-") + suffix;
    const QString nsB = QStringLiteral("brio-disc-b-") + suffix;
    const auto ip = [](const QStringList &args) {
        QProcess p;
        p.start(QStringLiteral("ip"), args);
        return p.waitForFinished(10000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    };
    struct Namespaces
    {
        std::function<bool(const QStringList &)> ip;
        QStringList names;
        ~Namespaces()
        {
            for (const QString &name : names)
                ip({QStringLiteral("netns"), QStringLiteral("del"), name});
        }
    } namespaces{ip, {}};
    for (const QString &name : {nsA, nsB}) {
        if (!ip({QStringLiteral("netns"), QStringLiteral("add"), name}))
            QSKIP("network namespaces are not available here");
        namespaces.names.append(name);
    }
    const QList<QStringList> setup = {
            {"-n", nsA, "link", "add", "va", "type", "veth", "peer", "name", "vb", "netns", nsB},
            {"-n", nsA, "addr", "add", "10.77.0.1/24", "dev", "va"},
            {"-n", nsB, "addr", "add", "10.77.0.2/24", "dev", "vb"},
            {"-n", nsA, "link", "set", "va", "up"},
            {"-n", nsB, "link", "set", "vb", "up"},
            {"-n", nsA, "link", "set", "lo", "up"},
            {"-n", nsB, "link", "set", "lo", "up"},
            {"-n", nsA, "route", "add", "default", "dev", "va"},
    };
    for (const QStringList &args : setup)
        QVERIFY2(ip(args), qPrintable(args.join(QLatin1Char(' '))));

    Child device;
    QVERIFY(device.start(QStringLiteral("ip"),
                         {"netns", "exec", nsB, "/usr/bin/python3",
                          QStringLiteral(BRIO_SOURCE_DIR "/tests/support/peers/discovery_responder.py"), "--reply",
                          "Far Meter\\r\\nAA:BB\\r\\n502\\r\\n3\\r\\n"},
                         "ready"));

    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("BRIO_NETNS_CHILD"), QStringLiteral("1"));
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QStringLiteral("ip"),
                {"netns", "exec", nsA, QCoreApplication::applicationFilePath(), "broadcastChild"});
    const bool done = child.waitForFinished(60000);
    if (!done) {
        child.kill();
        child.waitForFinished(5000);
    }
    const QByteArray output = child.readAll();
    QVERIFY2(done && child.exitCode() == 0, output.constData());
    QVERIFY2(output.contains("PASS   : TestDiscovery::broadcastChild()"), output.constData());
    device.stop();
    device.output += device.process.readAllStandardOutput();
    QVERIFY(device.output.contains("request b'D' from 10.77.0.1"));
}

void TestDiscovery::broadcastChild()
{
    if (!qEnvironmentVariableIsSet("BRIO_NETNS_CHILD"))
        QSKIP("runs inside the namespace that defaultBroadcastInNamespace makes");
    QTemporaryDir childDir;
    const QString config = childDir.filePath(QStringLiteral("config.ini"));
    QVERIFY(writeFile(config, "[docroot]\npath=.\n")); // no [discovery]: the product's defaults
    std::unique_ptr<DeviceFinder> finder(DeviceFinder::fromConfig(config));
    QCOMPARE(DeviceFinder::Config::read(config).searchWindow, 3000);
    QTest::qWait(1300);
    QCOMPARE(finder->getSearchedDevices(),
             QByteArray("[{\"name\":\"Far Meter\",\"ip\":\"10.77.0.2\",\"port\":\"502\",\"mac\":\"AA:BB\","
                        "\"modbusid\":\"3\"}]"));
}

QTEST_GUILESS_MAIN(TestDiscovery)
#include "tst_discovery.moc"
