// RTU frames over a TCP stream: against pymodbus serving an RTU framer on
// TCP, and against a scripted peer for what a real slave rarely does.
#include <QtTest>
#include <atomic>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "loopbackpeer.h"
#include "modbusfixtures.h"
#include "modbusframe.h"
#include "rtuovertcptransport.h"

using Status = RtuOverTcpTransport::Status;
Q_DECLARE_METATYPE(Status)

namespace {

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

// One connection; each script entry answers one request with chunks sent
// after their delays (none: silence). A chunk "close" closes the stream.
class ScriptedStreamPeer : public LoopbackPeer
{
public:
    struct Chunk
    {
        int delayMs;
        QByteArray bytes;
    };
    using Answer = QList<Chunk>;

    explicit ScriptedStreamPeer(const QList<Answer> &script) : script(script)
    {
        start([this] { serve(); });
    }
    ~ScriptedStreamPeer() override { finish(); }

private:
    void serve()
    {
        if (!waitReadable(listenFd))
            return;
        int fd = ::accept(listenFd, nullptr, nullptr);
        for (const Answer &answer : qAsConst(script)) {
            char request[300];
            if (!waitReadable(fd) || ::read(fd, request, sizeof request) <= 0)
                break;
            for (const Chunk &chunk : answer) {
                std::this_thread::sleep_for(std::chrono::milliseconds(chunk.delayMs));
                if (chunk.bytes == "close") {
                    ::close(fd);
                    fd = -1;
                    break;
                }
                if (::write(fd, chunk.bytes.constData(), size_t(chunk.bytes.size())) != chunk.bytes.size())
                    break;
            }
            if (fd < 0)
                break;
        }
        while (!stop)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (fd >= 0)
            ::close(fd);
    }

    QList<Answer> script;
};

const QByteArray readRequest = rtuAdu(17, hex("0300000002"));

} // namespace

Q_DECLARE_METATYPE(ScriptedStreamPeer::Answer)

class TestRtuOverTcp : public QObject
{
    Q_OBJECT

private slots:
    void pymodbus_data();
    void pymodbus();
    void corruptingPeer();
    void scripted_data();
    void scripted();
    void staleReplyDropped();
    void droppedStreamReopened();
    void refusedConnection();
};

void TestRtuOverTcp::pymodbus_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<Status>("status");
    QTest::addColumn<QByteArray>("reply");

    QTest::newRow("read") << readRequest << Status::Ok << rtuAdu(17, hex("030412340000"));
    QTest::newRow("write") << rtuAdu(17, hex("060005002a")) << Status::Ok << rtuAdu(17, hex("060005002a"));
    QTest::newRow("read back") << rtuAdu(17, hex("0300050001")) << Status::Ok << rtuAdu(17, hex("0302002a"));
    QTest::newRow("exception") << rtuAdu(17, hex("0327100001")) << Status::Exception << hex("118302c134");
    QTest::newRow("another unit is silent") << rtuAdu(1, hex("0300000001")) << Status::Timeout << QByteArray();
    QTest::newRow("broadcast waits for nothing") << rtuAdu(0, hex("0600070001")) << Status::Ok << QByteArray();
}

void TestRtuOverTcp::pymodbus()
{
    QFETCH(QByteArray, request);
    QFETCH(Status, status);
    QFETCH(QByteArray, reply);

    // One peer for the whole table, so the rows follow each other on one stream.
    static Child peer;
    static RtuOverTcpTransport transport;
    if (!transport.isOpen()) {
        const int port = modbusfix::startTcpPeer(peer, {"--framer", "rtu", "--unit", "17", "--set", "0=0x1234"});
        QVERIFY(port > 0);
        QVERIFY(transport.connectTo("127.0.0.1", quint16(port), 2000));
        transport.setReplyTimeout(300);
    }
    const RtuOverTcpTransport::Reply r = transport.transact(request);
    QCOMPARE(r.status, status);
    QCOMPARE(r.adu.toHex(' '), reply.toHex(' '));
    if (status == Status::Exception)
        QCOMPARE(int(r.exceptionCode), 2);
    if (status == Status::Timeout)
        QVERIFY(r.rttUs >= 300000);
    if (QTest::currentDataTag() == QByteArray("broadcast waits for nothing")) {
        transport.close();
        peer.stop();
    }
}

void TestRtuOverTcp::corruptingPeer()
{
    Child peer;
    const int port = modbusfix::startTcpPeer(peer, {"--framer", "rtu", "--corrupt", "--set", "0=0x1234"});
    QVERIFY(port > 0);
    RtuOverTcpTransport transport;
    QVERIFY(transport.connectTo("127.0.0.1", quint16(port), 2000));
    const RtuOverTcpTransport::Reply r = transport.transact(readRequest);
    QCOMPARE(r.status, Status::CrcError);
    QCOMPARE(r.received.toHex(' '), QByteArray("11 03 04 12 34 00 00 af bb"));
    QVERIFY(r.adu.isEmpty());
}

void TestRtuOverTcp::scripted_data()
{
    QTest::addColumn<ScriptedStreamPeer::Answer>("answer");
    QTest::addColumn<Status>("status");
    QTest::addColumn<QByteArray>("received");

    const QByteArray ok = rtuAdu(17, hex("030412340000"));
    QTest::newRow("reply in pieces") << ScriptedStreamPeer::Answer{{0, ok.left(2)}, {30, ok.mid(2, 3)}, {30, ok.mid(5)}}
                                     << Status::Ok << ok;
    QTest::newRow("reply and more") << ScriptedStreamPeer::Answer{{0, ok + hex("ffff")}} << Status::Ok << ok;
    QTest::newRow("half a reply") << ScriptedStreamPeer::Answer{{0, ok.left(5)}} << Status::Timeout << ok.left(5);
    QTest::newRow("another unit") << ScriptedStreamPeer::Answer{{0, rtuAdu(18, hex("030412340000"))}}
                                  << Status::BadReply << rtuAdu(18, hex("030412340000"));
    QTest::newRow("another function") << ScriptedStreamPeer::Answer{{0, rtuAdu(17, hex("0402abcd"))}}
                                      << Status::BadReply << rtuAdu(17, hex("0402abcd"));
    QTest::newRow("no known shape") << ScriptedStreamPeer::Answer{{0, hex("1141000102")}} << Status::CrcError
                                    << hex("1141000102");
    QTest::newRow("closed mid-reply") << ScriptedStreamPeer::Answer{{0, ok.left(3)}, {20, "close"}}
                                      << Status::ConnectionLost << ok.left(3);
}

void TestRtuOverTcp::scripted()
{
    QFETCH(ScriptedStreamPeer::Answer, answer);
    QFETCH(Status, status);
    QFETCH(QByteArray, received);

    ScriptedStreamPeer peer({answer});
    RtuOverTcpTransport transport;
    QVERIFY(transport.connectTo("127.0.0.1", peer.port, 2000));
    transport.setReplyTimeout(200);
    const RtuOverTcpTransport::Reply r = transport.transact(readRequest);
    QCOMPARE(r.status, status);
    QCOMPARE(r.received.toHex(' '), received.toHex(' '));
    QCOMPARE(r.adu.isEmpty(), status != Status::Ok);
}

void TestRtuOverTcp::staleReplyDropped()
{
    const QByteArray late = rtuAdu(17, hex("030411110000"));
    const QByteArray timely = rtuAdu(17, hex("030422220000"));
    ScriptedStreamPeer peer({{{150, late}}, {{0, timely}}});
    RtuOverTcpTransport transport;
    QVERIFY(transport.connectTo("127.0.0.1", peer.port, 2000));
    transport.setReplyTimeout(50);
    QCOMPARE(transport.transact(readRequest).status, Status::Timeout);
    QTest::qSleep(250);
    transport.setReplyTimeout(1000);
    const RtuOverTcpTransport::Reply r = transport.transact(readRequest);
    QCOMPARE(r.status, Status::Ok);
    QCOMPARE(r.adu.toHex(' '), timely.toHex(' '));
}

void TestRtuOverTcp::droppedStreamReopened()
{
    Child peer;
    const int port = modbusfix::startTcpPeer(peer, {"--framer", "rtu", "--set", "0=0x1234"});
    QVERIFY(port > 0);
    RtuOverTcpTransport transport;
    QVERIFY(transport.connectTo("127.0.0.1", quint16(port), 2000));
    QCOMPARE(transport.transact(readRequest).status, Status::Ok);
    // The peer forgets the stream (as a device server does after its idle time): the next request reconnects.
    peer.stop();
    QCOMPARE(transport.transact(readRequest).status, Status::NotConnected);
    QVERIFY(!transport.isOpen());
    Child again;
    QVERIFY(again.start(modbusfix::python,
                        {modbusfix::peerScript, "--tcp", "127.0.0.1:" + QString::number(port), "--framer", "rtu"},
                        "ready"));
    QCOMPARE(transport.transact(readRequest).status, Status::Ok);
}

void TestRtuOverTcp::refusedConnection()
{
    RtuOverTcpTransport transport;
    ScriptedStreamPeer peer({});
    const quint16 port = peer.port;
    QVERIFY(!transport.connectTo("127.0.0.1", 0, 100));
    QVERIFY(!transport.connectTo("", port, 100));
    QVERIFY(!transport.connectTo("no such host.invalid", port, 100));
    QCOMPARE(transport.transact(readRequest).status, Status::NotConnected);
    QCOMPARE(transport.transact(QByteArray()).status, Status::NotConnected);
}

QTEST_GUILESS_MAIN(TestRtuOverTcp)
#include "tst_rtuovertcp.moc"
