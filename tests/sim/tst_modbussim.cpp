#include <QtTest>

#include "devicefinder.h"
#include "modbusfixtures.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

// Raw Modbus TCP exchanges with the demo slave, byte for byte.

static QByteArray hex(const char *text)
{
    return QByteArray::fromHex(QByteArray(text).replace(' ', ""));
}

class Connection
{
public:
    explicit Connection(quint16 port)
    {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        timeval tv{10, 0}; // only so a broken slave cannot hang the test
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
            ::close(fd);
            fd = -1;
        }
    }
    ~Connection()
    {
        if (fd >= 0)
            ::close(fd);
    }
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    bool isOpen() const { return fd >= 0; }

    bool send(const QByteArray &bytes) const
    {
        return ::send(fd, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL) == bytes.size();
    }

    // One reply frame, or what arrived before the peer closed.
    QByteArray receive() const
    {
        QByteArray out = readExactly(7);
        if (out.size() < 7)
            return out;
        const int length = (uchar(out[4]) << 8) | uchar(out[5]);
        return out + readExactly(length - 1);
    }

    QByteArray exchange(const QByteArray &request) const { return send(request) ? receive() : QByteArray(); }

private:
    int fd = -1;

    QByteArray readExactly(int size) const
    {
        QByteArray out;
        char buf[512];
        while (out.size() < size) {
            const ssize_t n = ::recv(fd, buf, size_t(qMin<int>(size - out.size(), sizeof buf)), 0);
            if (n <= 0)
                break;
            out.append(buf, int(n));
        }
        return out;
    }
};

class TestModbusSim : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void frames_data();
    void frames();
    void writeReadBack_data();
    void writeReadBack();
    void mbpollCrossCheck_data();
    void mbpollCrossCheck();
    void wideWriteReadBack();
    void holdingWriteReadBack();
    void splitFrameAndTwoClients();
    void badFrameDropsOnlyThatClient();
    void badArguments_data();
    void badArguments();
    void stopsOnSignal();
    void answersDiscovery();

private:
    Child sim; // stops the slave should a test abort
    quint16 port = 0;
};

void TestModbusSim::initTestCase()
{
    port = quint16(modbusfix::startSim(sim));
    QVERIFY2(port != 0, sim.output);
}

void TestModbusSim::cleanupTestCase()
{
    sim.stop();
}

void TestModbusSim::frames_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("reply");

    QTest::newRow("report slave id") << hex("0001 0000 0002 01 11")
                                     << hex("0001 0000 0014 01 11 11 42 FF") + QByteArray("Brio modbus-sim");
    QTest::newRow("unit id echoed") << hex("BEEF 0000 0002 07 11")
                                    << hex("BEEF 0000 0014 07 11 11 42 FF") + QByteArray("Brio modbus-sim");
    QTest::newRow("16-bit demo values") << hex("0002 0000 0006 01 03 0001 0008")
                                        << hex("0002 0000 0013 01 03 10 04D2 4148 0000 0FD0 4049 7960 FFFE FFFF");
    QTest::newRow("32-bit demo values") << hex("0003 0000 0006 01 03 1389 0004")
                                        << hex("0003 0000 0013 01 03 10 41480000 075BCD15 FFFFFFFF 0FD04049");
    QTest::newRow("32-bit last register")
            << hex("0004 0000 0006 01 03 176F 0001") << hex("0004 0000 0007 01 03 04 00000000");
    QTest::newRow("32-bit past the area") << hex("0005 0000 0006 01 03 176F 0002") << hex("0005 0000 0003 01 83 02");
    QTest::newRow("32-bit count 0") << hex("0006 0000 0006 01 03 1388 0000") << hex("0006 0000 0003 01 83 03");
    QTest::newRow("32-bit count 63") << hex("0007 0000 0006 01 03 1388 003F") << hex("0007 0000 0003 01 83 03");
    QTest::newRow("32-bit write byte count wrong")
            << hex("0008 0000 000B 01 10 1388 0001 02 00000001") << hex("0008 0000 0003 01 90 03");
    QTest::newRow("32-bit write past the area")
            << hex("0009 0000 000F 01 10 176F 0002 08 00000001 00000002") << hex("0009 0000 0003 01 90 02");
    QTest::newRow("16-bit past the area") << hex("000A 0000 0006 01 03 1387 0002") << hex("000A 0000 0003 01 83 02");
    QTest::newRow("read cut short") << hex("000C 0000 0002 01 03") << hex("000C 0000 0003 01 83 03");
    QTest::newRow("write data missing") << hex("000D 0000 0009 01 10 0000 0002 04 1234")
                                        << hex("000D 0000 0003 01 90 03");
    QTest::newRow("single write too long")
            << hex("000E 0000 0007 01 06 0064 0001 FF") << hex("000E 0000 0003 01 86 03");
    QTest::newRow("unknown function") << hex("000B 0000 0002 01 2B") << hex("000B 0000 0003 01 AB 01");

    // The other tables: coils odd, discrete inputs every third, input registers their address.
    QTest::newRow("coils") << hex("0050 0000 0006 01 01 0000 000A") << hex("0050 0000 0005 01 01 02 AA 02");
    QTest::newRow("coils past the area") << hex("0051 0000 0006 01 01 03E7 0002") << hex("0051 0000 0003 01 81 02");
    QTest::newRow("discrete inputs") << hex("0052 0000 0006 01 02 03DE 000A") << hex("0052 0000 0005 01 02 02 49 02");
    QTest::newRow("input registers") << hex("0053 0000 0006 01 04 0062 0003")
                                     << hex("0053 0000 0009 01 04 06 0062 0063 4148");
    QTest::newRow("typed input registers")
            << hex("0054 0000 0006 01 04 0064 0014")
            << hex("0054 0000 002B 01 04 28 4148 0000 FFFE 7960 0102 0304 0506 0708 4009 21FB 5444 2D18"
                   " 4272 696F 206D 6F64 6275 732D 7369 6D00");
    QTest::newRow("last input register") << hex("0055 0000 0006 01 04 03E7 0001")
                                         << hex("0055 0000 0005 01 04 02 03E7");
    QTest::newRow("input registers past the area")
            << hex("0056 0000 0006 01 04 03E7 0002") << hex("0056 0000 0003 01 84 02");

    // Device identification: basic, regular, one object, and the refusals.
    const QByteArray version(BRIO_VERSION);
    const QByteArray basic =
            hex("00 04") + "Brio" + hex("01 0A") + "modbus-sim" + hex("02") + char(version.size()) + version;
    const QByteArray regular = hex("04 0F") + "Brio modbus-sim" + hex("05 15") + "Modbus TCP demo slave";
    const auto identity = [](const char *head, const QByteArray &objects) {
        QByteArray frame = hex(head) + objects;
        frame[5] = char(frame.size() - 6);
        return frame;
    };
    QTest::newRow("identification, basic")
            << hex("0060 0000 0005 01 2B 0E 01 00") << identity("0060 0000 0000 01 2B 0E 01 82 00 00 03", basic);
    QTest::newRow("identification, regular") << hex("0061 0000 0005 01 2B 0E 02 00")
                                             << identity("0061 0000 0000 01 2B 0E 02 82 00 00 05", basic + regular);
    QTest::newRow("identification, extended from 4 at the regular level")
            << hex("0062 0000 0005 01 2B 0E 03 04") << identity("0062 0000 0000 01 2B 0E 03 82 00 00 02", regular);
    QTest::newRow("identification, unknown object restarts")
            << hex("0063 0000 0005 01 2B 0E 01 04") << identity("0063 0000 0000 01 2B 0E 01 82 00 00 03", basic);
    QTest::newRow("identification, one object")
            << hex("0064 0000 0005 01 2B 0E 04 01")
            << identity("0064 0000 0000 01 2B 0E 04 82 00 00 01", hex("01 0A") + "modbus-sim");
    QTest::newRow("identification, object 3 absent")
            << hex("0065 0000 0005 01 2B 0E 04 03") << hex("0065 0000 0003 01 AB 02");
    QTest::newRow("identification, code 5") << hex("0066 0000 0005 01 2B 0E 05 00") << hex("0066 0000 0003 01 AB 03");
    QTest::newRow("identification, code 0") << hex("0067 0000 0005 01 2B 0E 00 00") << hex("0067 0000 0003 01 AB 03");
    QTest::newRow("identification, object id missing")
            << hex("0068 0000 0004 01 2B 0E 01") << hex("0068 0000 0003 01 AB 03");
    QTest::newRow("other MEI type") << hex("0069 0000 0005 01 2B 0D 01 00") << hex("0069 0000 0003 01 AB 01");
}

// Writes to every writable table, each followed by a read of what it changed.
void TestModbusSim::writeReadBack_data()
{
    QTest::addColumn<QByteArray>("write");
    QTest::addColumn<QByteArray>("written");
    QTest::addColumn<QByteArray>("read");
    QTest::addColumn<QByteArray>("readBack");

    QTest::newRow("one coil (5)") << hex("0070 0000 0006 01 05 00C8 FF00") << hex("0070 0000 0006 01 05 00C8 FF00")
                                  << hex("0071 0000 0006 01 01 00C8 0003") << hex("0071 0000 0004 01 01 01 03");
    QTest::newRow("coils (15)") << hex("0072 0000 0009 01 0F 00D2 000A 02 0F 00")
                                << hex("0072 0000 0006 01 0F 00D2 000A") << hex("0073 0000 0006 01 01 00D2 000A")
                                << hex("0073 0000 0005 01 01 02 0F 00");
    QTest::newRow("mask (22)") << hex("0074 0000 0008 01 16 0078 00F2 0025")
                               << hex("0074 0000 0008 01 16 0078 00F2 0025") << hex("0075 0000 0006 01 03 0078 0001")
                               << hex("0075 0000 0005 01 03 02 0005");
    QTest::newRow("mask past the area") << hex("0076 0000 0008 01 16 1388 00F2 0025") << hex("0076 0000 0003 01 96 02")
                                        << hex("0077 0000 0006 01 03 0078 0001") << hex("0077 0000 0005 01 03 02 0005");
    QTest::newRow("coil past the area") << hex("0078 0000 0006 01 05 03E8 FF00") << hex("0078 0000 0003 01 85 02")
                                        << hex("0079 0000 0006 01 02 0000 0001") << hex("0079 0000 0004 01 02 01 01");
}

void TestModbusSim::writeReadBack()
{
    QFETCH(QByteArray, write);
    QFETCH(QByteArray, written);
    QFETCH(QByteArray, read);
    QFETCH(QByteArray, readBack);
    Connection c(port);
    QVERIFY(c.isOpen());
    QCOMPARE(c.exchange(write).toHex(' '), written.toHex(' '));
    QCOMPARE(c.exchange(read).toHex(' '), readBack.toHex(' '));
}

// mbpoll as an independent master, on the tables and types it speaks.
void TestModbusSim::mbpollCrossCheck_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("output");

    QTest::newRow("coils (-t0)") << QStringList{"-t", "0", "-r", "1", "-c", "3"}
                                 << QByteArray("[1]: \t1\n[2]: \t0\n[3]: \t1\n");
    QTest::newRow("discrete inputs (-t1)")
            << QStringList{"-t", "1", "-r", "2", "-c", "3"} << QByteArray("[2]: \t0\n[3]: \t1\n[4]: \t0\n");
    QTest::newRow("input registers (-t3)")
            << QStringList{"-t", "3", "-r", "998", "-c", "2"} << QByteArray("[998]: \t998\n[999]: \t999\n");
    QTest::newRow("input float ABCD (-t3:float -B)")
            << QStringList{"-t", "3:float", "-B", "-r", "100"} << QByteArray("[100]: \t12.5\n");
    QTest::newRow("input int32 ABCD (-t3:int -B)")
            << QStringList{"-t", "3:int", "-B", "-r", "102"} << QByteArray("[102]: \t-100000\n");
    QTest::newRow("input ascii (-t3:hex)")
            << QStringList{"-t", "3:hex", "-r", "112", "-c", "2"} << QByteArray("[112]: \t0x4272\n[113]: \t0x696F\n");
    QTest::newRow("holding float CDAB (-t4:float)")
            << QStringList{"-t", "4:float", "-r", "4"} << QByteArray("[4]: \t3.14159\n");
    QTest::newRow("holding int32 CDAB (-t4:int)")
            << QStringList{"-t", "4:int", "-r", "6"} << QByteArray("[6]: \t-100000\n");
}

void TestModbusSim::mbpollCrossCheck()
{
    QFETCH(QStringList, args);
    QFETCH(QByteArray, output);
    if (QStandardPaths::findExecutable(QStringLiteral("mbpoll")).isEmpty())
        QSKIP("mbpoll is not installed");
    QProcess p;
    p.start(QStringLiteral("mbpoll"),
            QStringList{"-m", "tcp", "-a", "1", "-0", "-1", "-p", QString::number(port)} + args
                    + QStringList{"127.0.0.1"});
    QVERIFY(p.waitForFinished(15000));
    const QByteArray out = p.readAllStandardOutput();
    QVERIFY2(out.contains(output), out);
}

void TestModbusSim::frames()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, reply);
    Connection c(port);
    QVERIFY(c.isOpen());
    QCOMPARE(c.exchange(request).toHex(' '), reply.toHex(' '));
}

void TestModbusSim::wideWriteReadBack()
{
    Connection c(port);
    QVERIFY(c.isOpen());
    QCOMPARE(c.exchange(hex("0010 0000 000F 01 10 13EC 0002 08 DEADBEEF 00000102")).toHex(' '),
             hex("0010 0000 0006 01 10 13EC 0002").toHex(' '));
    QCOMPARE(c.exchange(hex("0011 0000 0006 01 03 13EC 0002")).toHex(' '),
             hex("0011 0000 000B 01 03 08 DEADBEEF 00000102").toHex(' '));
}

void TestModbusSim::holdingWriteReadBack()
{
    Connection c(port);
    QVERIFY(c.isOpen());
    QCOMPARE(c.exchange(hex("0020 0000 0006 01 06 0064 BEEF")).toHex(' '),
             hex("0020 0000 0006 01 06 0064 BEEF").toHex(' '));
    QCOMPARE(c.exchange(hex("0021 0000 000B 01 10 0065 0002 04 1234 5678")).toHex(' '),
             hex("0021 0000 0006 01 10 0065 0002").toHex(' '));
    QCOMPARE(c.exchange(hex("0022 0000 0006 01 03 0064 0003")).toHex(' '),
             hex("0022 0000 0009 01 03 06 BEEF 1234 5678").toHex(' '));
}

void TestModbusSim::splitFrameAndTwoClients()
{
    Connection a(port);
    Connection b(port);
    QVERIFY(a.isOpen() && b.isOpen());
    const QByteArray request = hex("0030 0000 0006 01 03 0001 0001");
    QVERIFY(a.send(request.left(5)));
    // b is served while a's frame is still incomplete
    QCOMPARE(b.exchange(hex("0031 0000 0002 01 11")).left(8).toHex(' '), hex("0031 0000 0014 01 11").toHex(' '));
    QVERIFY(a.send(request.mid(5)));
    QCOMPARE(a.receive().toHex(' '), hex("0030 0000 0005 01 03 02 04D2").toHex(' '));
    // two frames in one write
    QVERIFY(b.send(hex("0032 0000 0006 01 03 0001 0001 0033 0000 0002 01 11")));
    QCOMPARE(b.receive().toHex(' '), hex("0032 0000 0005 01 03 02 04D2").toHex(' '));
    QCOMPARE(b.receive().left(8).toHex(' '), hex("0033 0000 0014 01 11").toHex(' '));
}

void TestModbusSim::badFrameDropsOnlyThatClient()
{
    Connection bad(port);
    Connection good(port);
    QVERIFY(bad.isOpen() && good.isOpen());
    QVERIFY(bad.send(hex("0040 0001 0006 01 03 0001 0001"))); // not protocol 0
    QCOMPARE(bad.receive(), QByteArray());
    QCOMPARE(good.exchange(hex("0041 0000 0006 01 03 0001 0001")).toHex(' '),
             hex("0041 0000 0005 01 03 02 04D2").toHex(' '));
}

void TestModbusSim::badArguments_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("unknown option") << QStringList{QStringLiteral("--verbose")};
    QTest::newRow("port missing") << QStringList{QStringLiteral("--port")};
    QTest::newRow("port not a number") << QStringList{QStringLiteral("--port"), QStringLiteral("x1")};
    QTest::newRow("port too big") << QStringList{QStringLiteral("--port"), QStringLiteral("65536")};
    QTest::newRow("discovery port -1") << QStringList{QStringLiteral("--discovery-port"), QStringLiteral("-1")};
}

void TestModbusSim::badArguments()
{
    QFETCH(QStringList, arguments);
    QProcess p;
    p.start(modbusfix::simProgram, arguments);
    QVERIFY(p.waitForFinished());
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QCOMPARE(p.exitCode(), 2);
    QVERIFY(p.readAllStandardError().startsWith("usage: modbus-sim"));
}

void TestModbusSim::stopsOnSignal()
{
    Child second;
    const quint16 secondPort = quint16(modbusfix::startSim(second));
    QVERIFY(secondPort != 0);
    {
        Connection c(secondPort); // an open client must not keep it alive
        QVERIFY(c.isOpen());
        second.process.terminate();
        QVERIFY(second.process.waitForFinished());
    }
    QCOMPARE(second.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(second.process.exitCode(), 0);
}

void TestModbusSim::answersDiscovery()
{
    Child finder;
    const quint16 tcpPort =
            quint16(modbusfix::startSim(finder, {QStringLiteral("--discovery-port"), QStringLiteral("0")}));
    const int udpPort = finder.number(QStringLiteral("discovery on 127\\.0\\.0\\.1:(\\d+)"));
    QVERIFY2(tcpPort != 0 && udpPort != 0, finder.output);

    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    timeval tv{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(quint16(udpPort));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // Only the one-byte search is answered; replies keep the order of requests.
    for (const char *request : {"DD", "X", "D"})
        sendto(fd, request, strlen(request), 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
    char buf[256];
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    const ssize_t more = recv(fd, buf + 128, 128, MSG_DONTWAIT);
    ::close(fd);
    QVERIFY(n > 0);
    const QByteArray reply(buf, int(n));
    const QByteArray port = QByteArray::number(tcpPort);
    const QByteArray mac = QByteArray("02:00:00:00:")
            + QByteArray::number(tcpPort >> 8, 16).rightJustified(2, '0').toUpper() + ':'
            + QByteArray::number(tcpPort & 0xFF, 16).rightJustified(2, '0').toUpper();
    QCOMPARE(reply, "Brio modbus-sim\r\n" + mac + "\r\n" + port + "\r\n1\r\n");
    QCOMPARE(more, ssize_t(-1));
    // The gateway's reading of it: what the page's "use" button fills in.
    QCOMPARE(DeviceFinder::datagramToDevice(QStringLiteral("127.0.0.1"), DeviceFinder::replyText(reply)),
             Device(QStringLiteral("Brio modbus-sim"), QStringLiteral("127.0.0.1"), tcpPort, QString::fromLatin1(mac),
                    1));
}

QTEST_GUILESS_MAIN(TestModbusSim)
#include "tst_modbussim.moc"
