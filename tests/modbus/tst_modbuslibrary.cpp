// The access layer's own requests on the wire: 32-bit registers over TCP and
// RTU, reply checks, time-outs and the serial port list.
#include <QtTest>
#include <QTemporaryDir>
#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <modbus/modbus.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include "loopbackpeer.h"
#include "modbusfixtures.h"
#include "modbuslibrary.h"

namespace {

// A loopback TCP peer that answers each request with the next scripted reply
// (its first two bytes replaced by the request's transaction id); an empty
// reply means silence.
class ScriptedTcpPeer : public LoopbackPeer
{
public:
    explicit ScriptedTcpPeer(const QList<QByteArray> &replies) : replies(replies)
    {
        start([this] { serve(); });
    }
    ~ScriptedTcpPeer() override { finish(); }
    QList<QByteArray> requests() const
    {
        while (!done && !stop)
            QThread::msleep(5);
        return received;
    }

private:
    bool readExactly(int fd, char *buf, int n)
    {
        int got = 0;
        while (got < n) {
            if (!waitReadable(fd))
                return false;
            const ssize_t r = ::read(fd, buf + got, size_t(n - got));
            if (r <= 0)
                return false;
            got += int(r);
        }
        return true;
    }
    void serve()
    {
        if (!waitReadable(listenFd))
            return;
        const int fd = ::accept(listenFd, nullptr, nullptr);
        for (const QByteArray &reply : qAsConst(replies)) {
            char header[7];
            if (!readExactly(fd, header, 7))
                break;
            const int rest = ((uchar(header[4]) << 8) | uchar(header[5])) - 1;
            QByteArray request(header, 7);
            QByteArray body(rest, '\0');
            if (rest > 0 && !readExactly(fd, body.data(), rest))
                break;
            request += body;
            received << request;
            if (reply.isEmpty())
                continue;
            QByteArray out = reply;
            out[0] = header[0];
            out[1] = header[1];
            if (::write(fd, out.constData(), size_t(out.size())) != out.size())
                break;
        }
        done = true;
        while (!stop)
            QThread::msleep(5);
        ::close(fd);
    }

    QList<QByteArray> replies;
    QList<QByteArray> received;
    std::atomic<bool> done{false};
};

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

QByteArray crc16(const QByteArray &data)
{
    quint16 crc = 0xFFFF;
    for (char c : data) {
        crc ^= uchar(c);
        for (int i = 0; i < 8; ++i)
            crc = (crc & 1) ? quint16((crc >> 1) ^ 0xA001) : quint16(crc >> 1);
    }
    return QByteArray(1, char(crc & 0xFF)) + char(crc >> 8);
}

struct Context
{
    ModbusLibrary &lib;
    ModbusHandle ctx;
    ~Context()
    {
        lib.modbus_close(ctx);
        lib.modbus_free(ctx);
    }
};

} // namespace

class TestModbusLibrary : public QObject
{
    Q_OBJECT

private slots:
    void read32_data();
    void read32();
    void write32_data();
    void write32();
    void tooManyRegisters();
    void silentPeerTimesOut();
    void timeoutNormalised_data();
    void timeoutNormalised();
    void missingContext();
    void refusedUnit();
    void rtuFraming();
    void newFunctionsOnTheWire_data();
    void newFunctionsOnTheWire();
    void extraPortsListed();
};

void TestModbusLibrary::read32_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<int>("rc");
    QTest::addColumn<int>("error");
    QTest::addColumn<QVector<quint16>>("units");

    QTest::newRow("two registers") << hex("00000000000b07030812345678fffffffe") << 2 << 0
                                   << QVector<quint16>{0x5678, 0x1234, 0xFFFE, 0xFFFF};
    QTest::newRow("short byte count") << hex("00000000000707030412345678") << -1 << int(EMBBADDATA)
                                      << QVector<quint16>{0, 0, 0, 0};
    QTest::newRow("wrong function") << hex("00000000000b070408123456780000ffff") << -1 << int(EMBBADDATA)
                                    << QVector<quint16>{0, 0, 0, 0};
    QTest::newRow("exception") << hex("000000000003078302") << -1 << int(EMBXILADD) << QVector<quint16>{0, 0, 0, 0};
}

void TestModbusLibrary::read32()
{
    QFETCH(QByteArray, reply);
    QFETCH(int, rc);
    QFETCH(int, error);
    QFETCH(QVector<quint16>, units);

    ScriptedTcpPeer peer({reply});
    ModbusLibrary lib;
    Context c{lib, lib.modbus_new_tcp("127.0.0.1", peer.port)};
    QVERIFY(c.ctx);
    QCOMPARE(lib.modbus_connect(c.ctx), 0);
    lib.modbus_set_slave(c.ctx, 7);
    QVector<quint16> dest(4, 0);
    QCOMPARE(lib.modbus_read_registers_32(c.ctx, 0x1388, 2, dest.data()), rc);
    if (rc < 0)
        QCOMPARE(lib.lastError(), error);
    QCOMPARE(dest, units);
    const QList<QByteArray> requests = peer.requests();
    QCOMPARE(requests.size(), 1);
    QCOMPARE(requests.at(0).mid(2).toHex(), QByteArray("00000006070313880002"));
}

void TestModbusLibrary::write32_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<int>("rc");
    QTest::addColumn<int>("error");

    QTest::newRow("echo") << hex("000000000006071013880002") << 2 << 0;
    QTest::newRow("echo of another count") << hex("000000000006071013880001") << 1 << 0;
    QTest::newRow("echo of another address") << hex("000000000006071013890002") << -1 << int(EMBBADDATA);
    QTest::newRow("exception") << hex("000000000003079003") << -1 << int(EMBXILVAL);
}

void TestModbusLibrary::write32()
{
    QFETCH(QByteArray, reply);
    QFETCH(int, rc);
    QFETCH(int, error);

    ScriptedTcpPeer peer({reply});
    ModbusLibrary lib;
    Context c{lib, lib.modbus_new_tcp("127.0.0.1", peer.port)};
    QCOMPARE(lib.modbus_connect(c.ctx), 0);
    lib.modbus_set_slave(c.ctx, 7);
    const quint32 words[2] = {0x12345678u, 0xFFFFFFFEu};
    QCOMPARE(lib.modbus_write_registers_32(c.ctx, 5000, 2, words), rc);
    if (rc < 0)
        QCOMPARE(lib.lastError(), error);
    const QList<QByteArray> requests = peer.requests();
    QCOMPARE(requests.size(), 1);
    QCOMPARE(requests.at(0).mid(2).toHex(),
             QByteArray("0000000f071013880002081234567"
                        "8fffffffe"));
}

void TestModbusLibrary::tooManyRegisters()
{
    ModbusLibrary lib;
    Context c{lib, lib.modbus_new_tcp("127.0.0.1", 1)};
    QVector<quint16> dest(2 * 63);
    QCOMPARE(lib.modbus_read_registers_32(c.ctx, 0, ModbusLibrary::maxRead32 + 1, dest.data()), -1);
    QCOMPARE(lib.lastError(), int(EMBMDATA));
    QVector<quint32> words(62);
    QCOMPARE(lib.modbus_write_registers_32(c.ctx, 0, ModbusLibrary::maxWrite32 + 1, words.constData()), -1);
    QCOMPARE(lib.lastError(), int(EMBMDATA));
    QCOMPARE(lib.modbus_read_registers_32(c.ctx, 0, 0, dest.data()), -1);
}

void TestModbusLibrary::silentPeerTimesOut()
{
    // Accepts and reads, never answers: every transfer kind reports a time-out.
    ScriptedTcpPeer peer({QByteArray(), QByteArray(), QByteArray(), QByteArray()});
    ModbusLibrary lib;
    Context c{lib, lib.modbus_new_tcp("127.0.0.1", peer.port)};
    ModbusTimeValue shortWait;
    shortWait.tv_usec = 150000;
    lib.modbus_set_timeout_begin(c.ctx, &shortWait);
    QCOMPARE(lib.modbus_connect(c.ctx), 0);
    uint16_t units[4];
    QCOMPARE(lib.modbus_read_registers(c.ctx, 0, 2, units), -1);
    QCOMPARE(lib.lastError(), ETIMEDOUT);
    QCOMPARE(lib.modbus_read_registers_32(c.ctx, 0, 2, units), -1);
    QCOMPARE(lib.lastError(), ETIMEDOUT);
    const quint32 words[1] = {1};
    QCOMPARE(lib.modbus_write_registers_32(c.ctx, 0, 1, words), -1);
    QCOMPARE(lib.lastError(), ETIMEDOUT);
    uint8_t id[256];
    QCOMPARE(lib.modbus_report_slave_id(c.ctx, id), -1);
    QCOMPARE(lib.lastError(), ETIMEDOUT);
}

void TestModbusLibrary::timeoutNormalised_data()
{
    QTest::addColumn<int>("sec");
    QTest::addColumn<int>("usec");
    QTest::addColumn<int>("gotSec");
    QTest::addColumn<int>("gotUsec");
    QTest::newRow("plain") << 0 << 200000 << 0 << 200000;
    QTest::newRow("carried") << 0 << 1500000 << 1 << 500000;
    QTest::newRow("both fields") << 2 << 2000000 << 4 << 0;
    QTest::newRow("zero keeps the old one") << 0 << 0 << 0 << 500000;
    QTest::newRow("negative keeps the old one") << -1 << -5 << 0 << 500000;
    QTest::newRow("just under the cap") << 9 << 999999 << 9 << 999999;
    QTest::newRow("capped at the lock window") << 0 << 200000 * 10000 << 10 << 0;
    QTest::newRow("largest") << 0 << 2147483647 << 10 << 0;
}

void TestModbusLibrary::timeoutNormalised()
{
    QFETCH(int, sec);
    QFETCH(int, usec);
    QFETCH(int, gotSec);
    QFETCH(int, gotUsec);
    ModbusLibrary lib;
    Context c{lib, lib.modbus_new_rtu("/dev/null", 9600, 'N', 8, 1)};
    QVERIFY(c.ctx);
    ModbusTimeValue value;
    lib.modbus_get_timeout_begin(c.ctx, &value);
    QCOMPARE(value.tv_sec, 0);
    QCOMPARE(value.tv_usec, 500000);
    value.tv_sec = sec;
    value.tv_usec = usec;
    lib.modbus_set_timeout_begin(c.ctx, &value);
    lib.modbus_get_timeout_begin(c.ctx, &value);
    QCOMPARE(value.tv_sec, gotSec);
    QCOMPARE(value.tv_usec, gotUsec);
}

void TestModbusLibrary::missingContext()
{
    ModbusLibrary lib;
    uint16_t units[2];
    uint8_t id[256];
    QCOMPARE(lib.modbus_connect(nullptr), -1);
    QCOMPARE(lib.lastError(), EINVAL);
    QCOMPARE(lib.modbus_read_registers(nullptr, 0, 1, units), -1);
    QCOMPARE(lib.modbus_read_registers_32(nullptr, 0, 1, units), -1);
    QCOMPARE(lib.modbus_report_slave_id(nullptr, id), -1);
    lib.modbus_close(nullptr);
    lib.modbus_free(nullptr);
    QVERIFY(!lib.modbus_new_tcp("", 502));
    QVERIFY(!lib.modbus_strerror(EMBBADDATA).isEmpty());
}

void TestModbusLibrary::refusedUnit()
{
    // libmodbus refuses 248 on a serial line and keeps no unit; a transfer
    // must fail rather than trip the library's assertion. Never opened.
    QTemporaryDir dir;
    ModbusLibrary lib;
    Context c{lib, lib.modbus_new_rtu(QFile::encodeName(dir.filePath("none")).constData(), 9600, 'N', 8, 1)};
    QVERIFY(c.ctx);
    QCOMPARE(lib.modbus_set_slave(c.ctx, 248), -1);
    uint16_t units[2];
    const uint16_t words16[1] = {1};
    const uint32_t words32[1] = {1};
    uint8_t id[256];
    QCOMPARE(lib.modbus_read_registers(c.ctx, 0, 1, units), -1);
    QCOMPARE(lib.lastError(), EINVAL);
    QCOMPARE(lib.modbus_read_registers_32(c.ctx, 0, 1, units), -1);
    QCOMPARE(lib.modbus_write_registers(c.ctx, 0, 1, words16), -1);
    QCOMPARE(lib.modbus_write_registers_32(c.ctx, 0, 1, words32), -1);
    QCOMPARE(lib.modbus_report_slave_id(c.ctx, id), -1);
    QCOMPARE(lib.lastError(), EINVAL);
    QCOMPARE(lib.modbus_set_slave(c.ctx, 247), 0);
}

void TestModbusLibrary::rtuFraming()
{
    // A pty pair: the layer on one end, this test playing the slave on the other.
    modbusfix::PtyPair ptys;
    QVERIFY(ptys.start());
    const QString a = ptys.a();
    const QString b = ptys.b();

    const int slave = ::open(QFile::encodeName(a).constData(), O_RDWR | O_NOCTTY);
    QVERIFY(slave >= 0);
    auto closeSlave = qScopeGuard([slave] { ::close(slave); });
    termios tio;
    ::tcgetattr(slave, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(slave, TCSANOW, &tio);

    QByteArray request;
    std::atomic<bool> stop{false};
    const QByteArray replyBody = hex("0903083f800000c0000000");
    std::thread responder([&] {
        pollfd p{slave, POLLIN, 0};
        while (!stop && request.size() < 8) {
            if (::poll(&p, 1, 20) > 0) {
                char buf[64];
                const ssize_t n = ::read(slave, buf, sizeof buf);
                if (n > 0)
                    request.append(buf, int(n));
            }
        }
        if (request.size() >= 8) {
            const QByteArray reply = replyBody + crc16(replyBody);
            if (::write(slave, reply.constData(), size_t(reply.size())) != reply.size())
                return;
        }
    });
    auto joinResponder = qScopeGuard([&] {
        stop = true;
        responder.join();
    });

    ModbusLibrary lib;
    Context c{lib, lib.modbus_new_rtu(QFile::encodeName(b).constData(), 115200, 'N', 8, 1)};
    QCOMPARE(lib.modbus_connect(c.ctx), 0);
    lib.modbus_set_slave(c.ctx, 9);
    QVector<quint16> dest(4, 0);
    QCOMPARE(lib.modbus_read_registers_32(c.ctx, 10, 2, dest.data()), 2);
    QCOMPARE(dest, (QVector<quint16>{0x0000, 0x3F80, 0x0000, 0xC000}));
    joinResponder.dismiss();
    stop = true;
    responder.join();
    const QByteArray body = hex("0903000a0002");
    QCOMPARE(request.toHex(), (body + crc16(body)).toHex());
}

void TestModbusLibrary::extraPortsListed()
{
    ModbusLibrary lib({"/tmp/v/a", "/tmp/v/b"});
    const QList<QextPortInfo> ports = lib.getPorts();
    QVERIFY(ports.size() >= 2);
    QCOMPARE(ports.at(ports.size() - 2).portName, QStringLiteral("/tmp/v/a"));
    QCOMPARE(ports.at(ports.size() - 1).portName, QStringLiteral("/tmp/v/b"));
    QCOMPARE(ports.at(ports.size() - 1).friendName, QStringLiteral("Virtual port (b)"));
}

// The requests the functions send and what they make of the replies: the
// unit's echo and byte count, the protocol id, exceptions, and device
// identification replies that libmodbus cannot size alone.
void TestModbusLibrary::newFunctionsOnTheWire_data()
{
    QTest::addColumn<QByteArray>("function");
    QTest::addColumn<QByteArray>("request"); // from the protocol id on
    QTest::addColumn<QByteArray>("reply"); // from the protocol id on
    QTest::addColumn<int>("rc");
    QTest::addColumn<int>("error");
    QTest::addColumn<QByteArray>("data");

    QTest::newRow("coils") << QByteArray("read_bits") << hex("0000 0006 07 01 000A 000B")
                           << hex("0000 0005 07 01 02 A5 05") << 11 << 0 << hex("0100010000010001010001");
    QTest::newRow("coils, short byte count") << QByteArray("read_bits") << hex("0000 0006 07 01 000A 000B")
                                             << hex("0000 0004 07 01 01 A5") << -1 << int(EMBBADDATA) << QByteArray();
    QTest::newRow("another protocol id") << QByteArray("read_input_registers") << hex("0000 0006 07 04 000A 0002")
                                         << hex("0001 0007 07 04 04 4148 0001") << -1 << int(EMBBADDATA)
                                         << QByteArray();
    QTest::newRow("exception of another function")
            << QByteArray("read_input_registers") << hex("0000 0006 07 04 000A 0002") << hex("0000 0003 07 83 02") << -1
            << int(EMBBADDATA) << QByteArray();
    QTest::newRow("one coil, echoed off") << QByteArray("write_bit") << hex("0000 0006 07 05 000A FF00")
                                          << hex("0000 0006 07 05 000A 0000") << -1 << int(EMBBADDATA) << QByteArray();
    QTest::newRow("coils, another count echoed")
            << QByteArray("write_bits") << hex("0000 0009 07 0F 000A 000B 02 A5 05") << hex("0000 0006 07 0F 000A 000A")
            << -1 << int(EMBBADDATA) << QByteArray();
    QTest::newRow("mask write, another mask echoed")
            << QByteArray("mask_write_register") << hex("0000 0008 07 16 000A F0F0 0F0F")
            << hex("0000 0008 07 16 000A F0F0 0F0E") << -1 << int(EMBBADDATA) << QByteArray();
    const QByteArray idReply = hex("2B 0E 01 81 FF 02 02 00 04") + "Brio" + hex("01 02") + "xy";
    QTest::newRow("identification") << QByteArray("read_device_id") << hex("0000 0005 07 2B 0E 01 00")
                                    << hex("0000 0012 07") + idReply << int(idReply.size()) << 0 << idReply;
    QTest::newRow("identification, objects cut short")
            << QByteArray("read_device_id") << hex("0000 0005 07 2B 0E 01 00")
            << hex("0000 0011 07") + idReply.left(idReply.size() - 1) << -1 << int(EMBBADDATA) << QByteArray();
    QTest::newRow("identification refused") << QByteArray("read_device_id") << hex("0000 0005 07 2B 0E 01 00")
                                            << hex("0000 0003 07 AB 02") << -1 << int(EMBXILADD) << QByteArray();
}

void TestModbusLibrary::newFunctionsOnTheWire()
{
    QFETCH(QByteArray, function);
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, reply);
    QFETCH(int, rc);
    QFETCH(int, error);
    QFETCH(QByteArray, data);

    ScriptedTcpPeer peer({hex("0000") + reply});
    ModbusLibrary lib;
    Context c{lib, lib.modbus_new_tcp("127.0.0.1", peer.port)};
    QCOMPARE(lib.modbus_connect(c.ctx), 0);
    lib.modbus_set_slave(c.ctx, 7);
    uint8_t bytes[256] = {};
    uint16_t words[2] = {};
    const uint8_t pattern[11] = {1, 0, 1, 0, 0, 1, 0, 1, 1, 0, 1};
    int got = -1;
    QByteArray out;
    if (function == "read_bits") {
        got = lib.modbus_read_bits(c.ctx, 10, 11, bytes);
        out = QByteArray(reinterpret_cast<const char *>(bytes), 11);
    } else if (function == "read_input_registers") {
        got = lib.modbus_read_input_registers(c.ctx, 10, 2, words);
    } else if (function == "write_bit") {
        got = lib.modbus_write_bit(c.ctx, 10, 1);
    } else if (function == "write_bits") {
        got = lib.modbus_write_bits(c.ctx, 10, 11, pattern);
    } else if (function == "mask_write_register") {
        got = lib.modbus_mask_write_register(c.ctx, 10, 0xF0F0, 0x0F0F);
    } else {
        got = lib.modbus_read_device_id(c.ctx, 1, 0, bytes);
        out = QByteArray(reinterpret_cast<const char *>(bytes), qMax(got, 0));
    }
    QCOMPARE(got, rc);
    if (rc < 0)
        QCOMPARE(lib.lastError(), error);
    else if (!data.isNull())
        QCOMPARE(out.toHex(), data.toHex());
    const QList<QByteArray> requests = peer.requests();
    QCOMPARE(requests.size(), 1);
    QCOMPARE(requests.at(0).mid(2).toHex(), request.toHex());
}

QTEST_GUILESS_MAIN(TestModbusLibrary)
#include "tst_modbuslibrary.moc"
