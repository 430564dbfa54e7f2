// The bus scan: what a startScan request may ask for, the order of its
// probes, and the runner's progress, results and stop.
#include <QtTest>
#include <thread>

#include "busscanner.h"
#include "scanrequest.h"

namespace {

// The plan in one line, for comparing.
QString describe(const ScanPlan &p)
{
    auto list = [](const QVector<int> &v) {
        QStringList s;
        for (int i : v)
            s << QString::number(i);
        return s.join(',');
    };
    const QString where = p.serial()
            ? "serial " + p.port + " bauds " + list(p.bauds) + " modes " + list(p.modes)
            : QString(p.link == ScanLink::Tcp ? "tcp " : "rtuovertcp ") + p.host + ':' + QString::number(p.tcpPort);
    const QString units = p.units.size() > 4
            ? QStringLiteral("%1..%2 (%3)").arg(p.units.first()).arg(p.units.last()).arg(p.units.size())
            : list(p.units);
    return where + " units " + units + QStringLiteral(" timeout %1 addr %2").arg(p.timeoutMs).arg(p.probeAddress);
}

t_GetArray params(const QByteArray &query)
{
    t_GetArray p;
    for (const QByteArray &pair : query.split('&')) {
        const int eq = pair.indexOf('=');
        if (eq > 0)
            p.insert(pair.left(eq), pair.mid(eq + 1));
    }
    return p;
}

ScanPlan tcpPlan(int units)
{
    ScanPlan plan;
    plan.host = "127.0.0.1";
    plan.tcpPort = 502;
    for (int u = 1; u <= units; ++u)
        plan.units << u;
    return plan;
}

} // namespace

class TestBusScanner : public QObject
{
    Q_OBJECT

private slots:
    void request_data();
    void request();
    void order();
    void results();
    void stopWithinOneProbe();
};

void TestBusScanner::request_data()
{
    QTest::addColumn<QByteArray>("query");
    QTest::addColumn<QString>("plan"); // empty: refused

    const QByteArray serial = "connType=serial&portSelect=/tmp/pty&bauds=9600,19200&modes=0,3";
    const QByteArray tcp = "connType=tcp&ipAddres_tcp=127.0.0.1&port_tcp=1502";
    // clang-format off
    QTest::newRow("serial range") << serial + "&units=1-247" << "serial /tmp/pty bauds 9600,19200 modes 0,3 units 1..247 (247) timeout 100 addr 0";
    QTest::newRow("serial list") << serial + "&units=3,1,3&timeoutMs=50&probeAddr=65535" << "serial /tmp/pty bauds 9600,19200 modes 0,3 units 3,1 timeout 50 addr 65535";
    QTest::newRow("mixed list") << serial + "&units=1-3, 7" << "serial /tmp/pty bauds 9600,19200 modes 0,3 units 1,2,3,7 timeout 100 addr 0";
    QTest::newRow("every baud") << QByteArray("connType=serial&portSelect=a&modes=3&units=1&bauds=1200,2400,4800,9600,19200,38400,57600,115200,230400,256000,1000000") << "serial a bauds 1200,2400,4800,9600,19200,38400,57600,115200,230400,256000,1000000 modes 3 units 1 timeout 100 addr 0";
    QTest::newRow("tcp range") << tcp + "&units=0-255" << "tcp 127.0.0.1:1502 units 0..255 (256) timeout 100 addr 0";
    QTest::newRow("rtu over tcp") << QByteArray("connType=rtuovertcp&ipAddres_tcp=localhost&port_tcp=1&units=247") << "rtuovertcp localhost:1 units 247 timeout 100 addr 0";
    QTest::newRow("no connType") << QByteArray("units=1") << QString();
    QTest::newRow("other connType") << QByteArray("connType=Serial&units=1") << QString();
    QTest::newRow("serial unit 0") << serial + "&units=0-3" << QString();
    QTest::newRow("serial unit 248") << serial + "&units=248" << QString();
    QTest::newRow("tcp unit 256") << tcp + "&units=1,256" << QString();
    QTest::newRow("rtu over tcp unit 0") << QByteArray("connType=rtuovertcp&ipAddres_tcp=h&port_tcp=1&units=0") << QString();
    QTest::newRow("reversed range") << tcp + "&units=9-3" << QString();
    QTest::newRow("negative unit") << tcp + "&units=-1" << QString();
    QTest::newRow("open range") << tcp + "&units=3-" << QString();
    QTest::newRow("empty item") << tcp + "&units=1,,2" << QString();
    QTest::newRow("2^31") << tcp + "&units=2147483648" << QString();
    QTest::newRow("2^64") << tcp + "&units=18446744073709551616" << QString();
    QTest::newRow("hex unit") << tcp + "&units=0x11" << QString();
    QTest::newRow("no units") << tcp << QString();
    QTest::newRow("no bauds") << QByteArray("connType=serial&portSelect=a&modes=0&units=1") << QString();
    QTest::newRow("baud not in the table") << QByteArray("connType=serial&portSelect=a&bauds=9601&modes=0&units=1") << QString();
    QTest::newRow("baud index") << QByteArray("connType=serial&portSelect=a&bauds=3&modes=0&units=1") << QString();
    QTest::newRow("mode 4") << QByteArray("connType=serial&portSelect=a&bauds=9600&modes=4&units=1") << QString();
    QTest::newRow("empty port") << QByteArray("connType=serial&portSelect=&bauds=9600&modes=0&units=1") << QString();
    QTest::newRow("no port") << QByteArray("connType=serial&bauds=9600&modes=0&units=1") << QString();
    QTest::newRow("no host") << QByteArray("connType=tcp&port_tcp=502&units=1") << QString();
    QTest::newRow("port 0") << QByteArray("connType=tcp&ipAddres_tcp=h&port_tcp=0&units=1") << QString();
    QTest::newRow("port 65536") << QByteArray("connType=tcp&ipAddres_tcp=h&port_tcp=65536&units=1") << QString();
    QTest::newRow("timeout 0") << tcp + "&units=1&timeoutMs=0" << QString();
    QTest::newRow("timeout -1") << tcp + "&units=1&timeoutMs=-1" << QString();
    QTest::newRow("timeout 10001") << tcp + "&units=1&timeoutMs=10001" << QString();
    QTest::newRow("probeAddr 65536") << tcp + "&units=1&probeAddr=65536" << QString();
    QTest::newRow("probeAddr empty") << tcp + "&units=1&probeAddr=" << QString();
    // clang-format on
}

void TestBusScanner::request()
{
    QFETCH(QByteArray, query);
    QFETCH(QString, plan);
    ScanPlan parsed;
    const bool ok = scanPlanFromRequest(params(query), &parsed);
    QCOMPARE(ok ? describe(parsed) : QString(), plan);
}

void TestBusScanner::order()
{
    ScanPlan plan;
    plan.link = ScanLink::Serial;
    plan.bauds = {9600, 19200};
    plan.modes = {3, 0};
    plan.units = {5, 1};
    QStringList steps;
    for (int i = 0; i < plan.total(); ++i) {
        const ScanStep s = plan.step(i);
        steps << QStringLiteral("%1/%2/%3").arg(s.baud).arg(s.mode).arg(s.unit);
    }
    QCOMPARE(steps.join(' '),
             QStringLiteral("9600/3/5 9600/3/1 9600/0/5 9600/0/1 19200/3/5 19200/3/1 19200/0/5 "
                            "19200/0/1"));
}

void TestBusScanner::results()
{
    BusScanner scanner;
    ScanPlan plan;
    plan.link = ScanLink::Serial;
    plan.bauds = {9600, 19200};
    plan.modes = {0};
    plan.units = {1, 2, 17};
    QVERIFY(scanner.start(plan));
    QVERIFY(!scanner.start(plan));
    QCOMPARE(scanStatusJson(scanner.status()), QByteArray(R"({"running":true,"done":0,"total":6,"found":[]})"));
    scanner.run([](const ScanStep &s) {
        ProbeAnswer a;
        a.answered = s.unit == 17 || (s.unit == 2 && s.baud == 19200);
        a.exceptionCode = s.unit == 2 ? 2 : 0;
        return a;
    });
    QVERIFY(scanner.isRunning());
    scanner.finish();
    // clang-format off
    QCOMPARE(scanStatusJson(scanner.status()), QByteArray(R"({"running":false,"done":6,"total":6,"found":[{"unit":17,"baud":9600,"mode":0,"reply":"ok"},{"unit":2,"baud":19200,"mode":0,"reply":"exception 02"},{"unit":17,"baud":19200,"mode":0,"reply":"ok"}]})"));
    // clang-format on

    // Results stay until the next start; off a serial line they name the unit only.
    QVERIFY(scanner.start(tcpPlan(3)));
    scanner.run([](const ScanStep &s) { return ProbeAnswer{s.unit == 3, 0x0B}; });
    scanner.finish();
    QCOMPARE(scanStatusJson(scanner.status()),
             QByteArray(R"({"running":false,"done":3,"total":3,"found":[{"unit":3,"reply":"exception 0B"}]})"));
}

void TestBusScanner::stopWithinOneProbe()
{
    BusScanner scanner;
    QVERIFY(scanner.start(tcpPlan(247)));
    std::atomic<int> probes{0};
    std::atomic<bool> release{false};
    std::thread runner([&] {
        scanner.run([&](const ScanStep &) {
            ++probes;
            while (!release)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            return ProbeAnswer();
        });
        scanner.finish();
    });
    QTRY_COMPARE(probes.load(), 1);
    QVERIFY(scanner.isRunning());
    scanner.stop();
    release = true;
    runner.join();
    QCOMPARE(probes.load(), 1);
    const ScanStatus status = scanner.status();
    QCOMPARE(status.running, false);
    QCOMPARE(status.done, 1);
    QCOMPARE(status.total, 247);
    QVERIFY(scanner.start(tcpPlan(1)));
}

QTEST_GUILESS_MAIN(TestBusScanner)
#include "tst_busscanner.moc"
