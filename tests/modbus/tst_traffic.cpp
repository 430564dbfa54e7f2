// What the traffic monitor shows of real exchanges: every frame as its exact
// bytes on TCP, on a pty serial line and on an RTU-over-TCP stream, retries
// included, with the statistics they leave.
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

#include "apptestsupport.h"
#include "modbusapi.h"
#include "modbusengine.h"
#include "modbusfixtures.h"
#include "modbuslibrary.h"

using namespace modbusfix;

class TestTraffic : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void frames_data();
    void frames();
};

void TestTraffic::initTestCase()
{
    QCoreApplication::setOrganizationName(QStringLiteral("Tavik"));
    QCoreApplication::setApplicationName(QStringLiteral("Brio"));
}

void TestTraffic::frames_data()
{
    QTest::addColumn<QString>("link"); // tcp, rtu (a pty) or rtuovertcp
    QTest::addColumn<QStringList>("peerArgs");
    QTest::addColumn<int>("address"); // one holding register read from here
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QStringList>("frames"); // dir unit fc result: hex
    QTest::addColumn<QByteArray>("stats"); // getStats up to the round trips

    const QStringList presets{"--set", "0=0xFFFF,1=0x4148"};
    const QString rtuRequest = QStringLiteral("tx 1 3 ok: 01 03 00 00 00 02 C4 0B");
    const QString rtuReply = QStringLiteral("rx 1 3 ok: 01 03 04 FF FF 41 48 CA 71");
    auto tries = [](int n, auto frame) {
        QStringList out;
        for (int i = 1; i <= n; ++i)
            out += frame(i);
        return out;
    };
    // libmodbus gives its raw requests transaction id 0.
    auto tcpException = [](int) {
        return QStringList{"tx 1 3 ok: 00 00 00 00 00 06 01 03 27 10 00 01",
                           "rx 1 3 exception 02: 00 00 00 00 00 03 01 83 02"};
    };
    // clang-format off
    QTest::newRow("tcp") << "tcp" << presets << 0 << QByteArray("[-1,16712]")
        << QStringList{"tx 1 3 ok: 00 00 00 00 00 06 01 03 00 00 00 02", "rx 1 3 ok: 00 00 00 00 00 07 01 03 04 FF FF 41 48"}
        << QByteArray(R"({"requests":1,"ok":1,"timeouts":0,"crcErrors":0,"exceptions":{},)");
    QTest::newRow("tcp exception, tried four times") << "tcp" << presets << 10000 << QByteArray(R"({"error":"Protocol error! Illegal data address"})")
        << tries(4, tcpException)
        << QByteArray(R"({"requests":4,"ok":0,"timeouts":0,"crcErrors":0,"exceptions":{"02":4},)");
    QTest::newRow("tcp timeout") << "tcp" << QStringList{"--unit", "5"} << 0 << reply::timeout
        << QStringList{"tx 1 3 ok: 00 00 00 00 00 06 01 03 00 00 00 02", "event 1 3 timeout: "}
        << QByteArray(R"({"requests":1,"ok":0,"timeouts":1,"crcErrors":0,"exceptions":{},)");
    QTest::newRow("rtu") << "rtu" << presets << 0 << QByteArray("[-1,16712]")
        << QStringList{rtuRequest, rtuReply}
        << QByteArray(R"({"requests":1,"ok":1,"timeouts":0,"crcErrors":0,"exceptions":{},)");
    QTest::newRow("rtu crc error, tried four times") << "rtu" << presets + QStringList{"--corrupt"} << 0 << QByteArray(R"({"error":"Protocol error! Invalid CRC"})")
        << tries(4, [&](int) { return QStringList{rtuRequest, "event 1 3 crc: 01 03 04 FF FF 41 48 CA 8E"}; })
        << QByteArray(R"({"requests":4,"ok":0,"timeouts":0,"crcErrors":4,"exceptions":{},)");
    QTest::newRow("rtu over tcp") << "rtuovertcp" << presets << 0 << QByteArray("[-1,16712]")
        << QStringList{rtuRequest, rtuReply}
        << QByteArray(R"({"requests":1,"ok":1,"timeouts":0,"crcErrors":0,"exceptions":{},)");
    QTest::newRow("rtu over tcp exception") << "rtuovertcp" << presets << 10000 << QByteArray(R"({"error":"Protocol error! Illegal data address"})")
        << tries(4, [](int) { return QStringList{"tx 1 3 ok: 01 03 27 10 00 01 8F 7B", "rx 1 3 exception 02: 01 83 02 C0 F1"}; })
        << QByteArray(R"({"requests":4,"ok":0,"timeouts":0,"crcErrors":0,"exceptions":{"02":4},)");
    QTest::newRow("rtu over tcp timeout") << "rtuovertcp" << QStringList{"--unit", "5"} << 0 << reply::timeout
        << QStringList{rtuRequest, "event 1 3 timeout: "}
        << QByteArray(R"({"requests":1,"ok":0,"timeouts":1,"crcErrors":0,"exceptions":{},)");
    // clang-format on
}

void TestTraffic::frames()
{
    QFETCH(QString, link);
    QFETCH(QStringList, peerArgs);
    QFETCH(int, address);
    QFETCH(QByteArray, reply);
    QFETCH(QStringList, frames);
    QFETCH(QByteArray, stats);

    Child peer;
    PtyPair pty;
    ModbusLibrary library;
    t_GetArray connect;
    if (link == "rtu") {
        QVERIFY(pty.start());
        QVERIFY(peer.start(python, QStringList{peerScript, "--serial", pty.a(), "--baud", "115200"} + peerArgs,
                           "ready"));
        library.setExtraPorts({pty.b()});
        connect = serialConnect(pty.b(), "1", "7", "3", "50");
    } else {
        const QStringList framing = link == "rtuovertcp" ? QStringList{"--framer", "rtu"} : QStringList();
        const int port = startTcpPeer(peer, framing + peerArgs);
        QVERIFY(port > 0);
        connect = tcpConnect(port, 500);
        if (link == "rtuovertcp")
            connect.insert("connType", "rtuovertcp");
    }
    ModbusEngine engine(&library);
    engine.setPause([](unsigned long) {});
    ModbusApi api(engine);
    QVERIFY(api.connectPort(connect).startsWith("{\"ok\":"));
    QCOMPARE(api.readRegisters(transfer(address, address == 0 ? 2 : 1)), reply);

    const QJsonObject page = QJsonDocument::fromJson(api.getTraffic({})).object();
    QStringList got;
    for (const QJsonValue &v : page.value("frames").toArray()) {
        const QJsonObject f = v.toObject();
        got << QStringLiteral("%1 %2 %3 %4: %5")
                        .arg(f.value("dir").toString())
                        .arg(f.value("unit").toInt())
                        .arg(f.value("fc").toInt())
                        .arg(f.value("result").toString(), f.value("hex").toString());
        QCOMPARE(f.value("rttUs").toInt() > 0, f.value("dir").toString() != "tx");
    }
    QCOMPARE(got, frames);
    QCOMPARE(page.value("next").toInt(), frames.size() + 1);
    QVERIFY2(api.getStats().startsWith(stats + "\"rttUs\":{"), api.getStats());
}

QTEST_GUILESS_MAIN(TestTraffic)
#include "tst_traffic.moc"
