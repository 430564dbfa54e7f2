// What the traffic monitor and the statistics show: frames as exact bytes,
// frame lengths cut from a stream, the ring's paging, and the counters.
#include <QtTest>

#include "busstats.h"
#include "modbusframe.h"
#include "trafficlog.h"

Q_DECLARE_METATYPE(TrafficMeta)

namespace {

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

TrafficMeta meta(TrafficDirection dir, quint8 unit, quint8 fc, TrafficResult result = TrafficResult::Ok,
                 qint64 rttUs = 0, quint8 exceptionCode = 0)
{
    TrafficMeta m;
    m.dir = dir;
    m.unit = unit;
    m.functionCode = fc;
    m.result = result;
    m.rttUs = rttUs;
    m.exceptionCode = exceptionCode;
    return m;
}

} // namespace

class TestBusMonitor : public QObject
{
    Q_OBJECT

private slots:
    void frames_data();
    void frames();
    void confirmationLength_data();
    void confirmationLength();
    void check_data();
    void check();
    void ring_data();
    void ring();
    void stats_data();
    void stats();
    void rttBuckets();
};

void TestBusMonitor::frames_data()
{
    QTest::addColumn<TrafficMeta>("meta");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QByteArray>("frame");

    const TrafficDirection tx = TrafficDirection::Tx;
    const TrafficDirection rx = TrafficDirection::Rx;
    const TrafficDirection event = TrafficDirection::Event;
    const TrafficResult exception = TrafficResult::Exception;
    // clang-format off
    QTest::newRow("tcp request") << meta(tx, 1, 3) << mbapHeader(1, 1, 5) + hex("030000000a")
        << QByteArray(R"({"seq":1,"t":1765339200123,"dir":"tx","unit":1,"fc":3,"hex":"00 01 00 00 00 06 01 03 00 00 00 0A","rttUs":0,"result":"ok"})");
    QTest::newRow("tcp reply") << meta(rx, 1, 3, TrafficResult::Ok, 812) << mbapHeader(0xABCD, 1, 6) + hex("0304002a0007")
        << QByteArray(R"({"seq":1,"t":1765339200123,"dir":"rx","unit":1,"fc":3,"hex":"AB CD 00 00 00 07 01 03 04 00 2A 00 07","rttUs":812,"result":"ok"})");
    QTest::newRow("tcp exception") << meta(rx, 255, 16, exception, 90, 2) << mbapHeader(7, 255, 2) + hex("9002")
        << QByteArray(R"({"seq":1,"t":1765339200123,"dir":"rx","unit":255,"fc":16,"hex":"00 07 00 00 00 03 FF 90 02","rttUs":90,"result":"exception 02"})");
    QTest::newRow("rtu request") << meta(tx, 1, 3) << rtuAdu(1, hex("030000000a"))
        << QByteArray(R"({"seq":1,"t":1765339200123,"dir":"tx","unit":1,"fc":3,"hex":"01 03 00 00 00 0A C5 CD","rttUs":0,"result":"ok"})");
    QTest::newRow("rtu exception") << meta(rx, 17, 3, exception, 4100, 2) << rtuAdu(17, hex("8302"))
        << QByteArray(R"({"seq":1,"t":1765339200123,"dir":"rx","unit":17,"fc":3,"hex":"11 83 02 C1 34","rttUs":4100,"result":"exception 02"})");
    QTest::newRow("gateway exception") << meta(rx, 5, 4, exception, 1, 0x0B) << rtuAdu(5, hex("840b"))
        << QByteArray(R"({"seq":1,"t":1765339200123,"dir":"rx","unit":5,"fc":4,"hex":"05 84 0B 43 06","rttUs":1,"result":"exception 0B"})");
    QTest::newRow("timeout") << meta(event, 1, 3, TrafficResult::Timeout, 100000) << QByteArray()
        << QByteArray(R"({"seq":1,"t":1765339200123,"dir":"event","unit":1,"fc":3,"hex":"","rttUs":100000,"result":"timeout"})");
    QTest::newRow("crc error") << meta(event, 17, 3, TrafficResult::Crc, 3900) << hex("118302c1cb")
        << QByteArray(R"({"seq":1,"t":1765339200123,"dir":"event","unit":17,"fc":3,"hex":"11 83 02 C1 CB","rttUs":3900,"result":"crc"})");
    // clang-format on
}

void TestBusMonitor::frames()
{
    QFETCH(TrafficMeta, meta);
    QFETCH(QByteArray, bytes);
    QFETCH(QByteArray, frame);

    TrafficLog log;
    const qint64 before = QDateTime::currentMSecsSinceEpoch();
    QCOMPARE(log.record(meta, bytes), quint64(1));
    TrafficPage page = log.since(0);
    QCOMPARE(page.frames.size(), 1);
    QVERIFY(page.frames.at(0).t >= before && page.frames.at(0).t <= QDateTime::currentMSecsSinceEpoch());
    page.frames[0].t = 1765339200123;
    QCOMPARE(trafficJson(page), "{\"next\":2,\"frames\":[" + frame + "]}");
}

void TestBusMonitor::confirmationLength_data()
{
    QTest::addColumn<QByteArray>("start");
    QTest::addColumn<int>("length");

    QTest::newRow("unit only") << hex("01") << 2;
    QTest::newRow("read, no count yet") << hex("0103") << 3;
    QTest::newRow("read 2 registers") << hex("010304") << 9;
    QTest::newRow("read 250 bytes") << hex("0103fa") << 255;
    QTest::newRow("coils") << hex("010102") << 7;
    QTest::newRow("exception") << hex("0183") << 5;
    QTest::newRow("write single") << hex("0106") << 8;
    QTest::newRow("write multiple") << hex("0110") << 8;
    QTest::newRow("mask write") << hex("0116") << 10;
    QTest::newRow("slave id") << hex("011109") << 14;
    QTest::newRow("fifo, no count yet") << hex("011800") << 4;
    QTest::newRow("fifo") << hex("01180006") << 12;
    QTest::newRow("device id, no type") << hex("012b") << 3;
    QTest::newRow("device id header") << hex("012b0e01") << 8;
    QTest::newRow("device id, first object") << hex("012b0e0181000002") << 10;
    QTest::newRow("device id, second object") << hex("012b0e01810000020004") << 16;
    QTest::newRow("device id whole") << hex("012b0e018100000200044272696f01023031") << 20;
    QTest::newRow("device id, no objects") << hex("012b0e0181000000") << 10;
    QTest::newRow("other MEI type") << hex("012b0d") << -1;
    QTest::newRow("unknown function") << hex("0141") << -1;
}

void TestBusMonitor::confirmationLength()
{
    QFETCH(QByteArray, start);
    QFETCH(int, length);
    QCOMPARE(rtuConfirmationLength(reinterpret_cast<const uchar *>(start.constData()), start.size()), length);
}

void TestBusMonitor::check_data()
{
    QTest::addColumn<QByteArray>("adu");
    QTest::addColumn<int>("check");

    QTest::newRow("reply") << rtuAdu(1, hex("0302002a")) << int(RtuCheck::Ok);
    QTest::newRow("exception") << rtuAdu(1, hex("8302")) << int(RtuCheck::Exception);
    QTest::newRow("bad crc") << hex("118302c1cb") << int(RtuCheck::BadCrc);
    QTest::newRow("corrupt unit is a crc error") << hex("128302c134") << int(RtuCheck::BadCrc);
    QTest::newRow("other unit") << rtuAdu(2, hex("0302002a")) << int(RtuCheck::OtherUnit);
    QTest::newRow("other function") << rtuAdu(1, hex("0402002a")) << int(RtuCheck::OtherFunction);
    QTest::newRow("long exception") << rtuAdu(1, hex("830200")) << int(RtuCheck::Malformed);
    QTest::newRow("too short") << hex("0103") << int(RtuCheck::Malformed);
}

void TestBusMonitor::check()
{
    QFETCH(QByteArray, adu);
    QFETCH(int, check);
    QCOMPARE(int(checkRtuConfirmation(adu, 1, 3)), check);
}

void TestBusMonitor::ring_data()
{
    QTest::addColumn<int>("before"); // frames recorded before a clear
    QTest::addColumn<bool>("cleared");
    QTest::addColumn<int>("after");
    QTest::addColumn<quint64>("since");
    QTest::addColumn<int>("max");
    QTest::addColumn<QList<quint64>>("seqs");
    QTest::addColumn<quint64>("next");

    using L = QList<quint64>;
    QTest::newRow("from the start") << 3 << false << 0 << quint64(0) << 1000 << L{1, 2, 3} << quint64(4);
    QTest::newRow("since within") << 3 << false << 0 << quint64(2) << 1000 << L{2, 3} << quint64(4);
    QTest::newRow("since the next") << 3 << false << 0 << quint64(4) << 1000 << L{} << quint64(4);
    QTest::newRow("since beyond") << 3 << false << 0 << quint64(99) << 1000 << L{} << quint64(4);
    QTest::newRow("since 2^64-1") << 3 << false << 0 << ~quint64(0) << 1000 << L{} << quint64(4);
    QTest::newRow("nothing yet") << 0 << false << 0 << quint64(0) << 1000 << L{} << quint64(1);
    QTest::newRow("older than the ring") << 7 << false << 0 << quint64(1) << 1000 << L{4, 5, 6, 7} << quint64(8);
    QTest::newRow("page limit") << 3 << false << 0 << quint64(0) << 2 << L{1, 2} << quint64(3);
    QTest::newRow("cleared") << 3 << true << 0 << quint64(0) << 1000 << L{} << quint64(4);
    QTest::newRow("after a clear") << 3 << true << 2 << quint64(0) << 1000 << L{4, 5} << quint64(6);
}

void TestBusMonitor::ring()
{
    QFETCH(int, before);
    QFETCH(bool, cleared);
    QFETCH(int, after);
    QFETCH(quint64, since);
    QFETCH(int, max);
    QFETCH(QList<quint64>, seqs);
    QFETCH(quint64, next);

    TrafficLog log(4);
    const TrafficMeta m = meta(TrafficDirection::Tx, 1, 3);
    for (int i = 0; i < before; ++i)
        log.record(m, QByteArray(1, char(i)));
    if (cleared)
        log.clear();
    for (int i = 0; i < after; ++i)
        log.record(m, QByteArray(1, char(before + i)));

    const TrafficPage page = log.since(since, max);
    QList<quint64> got;
    for (const TrafficFrame &f : page.frames) {
        got << f.seq;
        QCOMPARE(f.bytes, QByteArray(1, char(f.seq - 1)));
    }
    QCOMPARE(got, seqs);
    QCOMPARE(page.next, next);
}

void TestBusMonitor::stats_data()
{
    QTest::addColumn<QString>("script"); // ok:RTT, xNN:RTT, timeout, crc, other, reset
    QTest::addColumn<QByteArray>("json");

    const QString twenty = [] {
        QStringList s;
        for (int i = 20; i >= 1; --i)
            s << QStringLiteral("ok:%1").arg(i);
        return s.join(' ');
    }();
    // clang-format off
    QTest::newRow("nothing") << QString()
        << QByteArray(R"({"requests":0,"ok":0,"timeouts":0,"crcErrors":0,"exceptions":{},"rttUs":{"min":0,"median":0,"p95":0,"max":0}})");
    QTest::newRow("each outcome") << "ok:30 x0B:50 timeout ok:10 crc x02:40 other ok:20 x02:45"
        << QByteArray(R"({"requests":9,"ok":3,"timeouts":1,"crcErrors":1,"exceptions":{"02":2,"0B":1},"rttUs":{"min":10,"median":30,"p95":50,"max":50}})");
    QTest::newRow("twenty replies") << twenty
        << QByteArray(R"({"requests":20,"ok":20,"timeouts":0,"crcErrors":0,"exceptions":{},"rttUs":{"min":1,"median":10,"p95":19,"max":20}})");
    QTest::newRow("only failures") << "timeout timeout crc"
        << QByteArray(R"({"requests":3,"ok":0,"timeouts":2,"crcErrors":1,"exceptions":{},"rttUs":{"min":0,"median":0,"p95":0,"max":0}})");
    QTest::newRow("large times stay exact at the ends") << "ok:3600000000 ok:7"
        << QByteArray(R"({"requests":2,"ok":2,"timeouts":0,"crcErrors":0,"exceptions":{},"rttUs":{"min":7,"median":7,"p95":3600000000,"max":3600000000}})");
    QTest::newRow("reset") << "ok:5 x02:5 timeout reset ok:8"
        << QByteArray(R"({"requests":1,"ok":1,"timeouts":0,"crcErrors":0,"exceptions":{},"rttUs":{"min":8,"median":8,"p95":8,"max":8}})");
    // clang-format on
}

void TestBusMonitor::stats()
{
    QFETCH(QString, script);
    QFETCH(QByteArray, json);

    BusStats stats;
    for (const QString &item : script.split(' ', Qt::SkipEmptyParts)) {
        const QStringList parts = item.split(':');
        const qint64 rtt = parts.value(1).toLongLong();
        if (parts.at(0) == "ok")
            stats.record(BusOutcome::Ok, rtt);
        else if (parts.at(0).startsWith('x'))
            stats.record(BusOutcome::Exception, rtt, quint8(parts.at(0).mid(1).toUInt(nullptr, 16)));
        else if (item == "timeout")
            stats.record(BusOutcome::Timeout);
        else if (item == "crc")
            stats.record(BusOutcome::CrcError);
        else if (item == "other")
            stats.record(BusOutcome::Other);
        else if (item == "reset")
            stats.reset();
    }
    QCOMPARE(statsJson(stats.snapshot()), json);
}

void TestBusMonitor::rttBuckets()
{
    // Percentiles come from buckets: each within 1/64 of what fell in.
    for (qint64 v = 0; v < (qint64(1) << 40); v = v < 300 ? v + 1 : v + v / 7) {
        const qint64 shown = BusStats::bucketValue(BusStats::bucketOf(v));
        QVERIFY2(qAbs(shown - v) * 64 <= v, qPrintable(QString::number(v)));
    }
    QCOMPARE(BusStats::bucketOf(-1), 0);
    QCOMPARE(BusStats::bucketOf(std::numeric_limits<qint64>::max()), BusStats::bucketCount - 1);
}

QTEST_GUILESS_MAIN(TestBusMonitor)
#include "tst_busmonitor.moc"
