// Response writer and cookies: exact bytes on a loopback socket pair.

#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <memory>

#include "httpcookie.h"
#include "httpresponse.h"
#include "httptestsupport.h"

namespace {

// A connected loopback pair; the server side is what a handler writes to.
class SocketPair
{
public:
    SocketPair()
    {
        server.listen(QHostAddress::LocalHost, 0);
        client.connectToHost(QHostAddress::LocalHost, server.serverPort());
        client.waitForConnected(5000);
        server.waitForNewConnection(5000);
        peer.reset(server.nextPendingConnection());
    }
    QByteArray readAll(bool untilClosed)
    {
        QByteArray data;
        httptest::waitFor([&] {
            peer->flush();
            data += client.readAll();
            return untilClosed ? client.state() == QAbstractSocket::UnconnectedState
                               : httptest::responseLength(data, false) >= 0;
        });
        return data;
    }
    QTcpServer server;
    QTcpSocket client;
    std::unique_ptr<QTcpSocket> peer;
};

// Every response carries them unless its handler takes them out.
const QByteArray securityHeaders = "X-Content-Type-Options: nosniff\r\nX-Frame-Options: DENY\r\n";

} // namespace

class TestHttpResponse : public QObject
{
    Q_OBJECT
private slots:
    void wireBytes_data();
    void wireBytes();
    void changesAfterFirstWrite();
    void cookieValue_data();
    void cookieValue();
    void setCookie();
    void splitAttributes_data();
    void splitAttributes();
    void stalledReader();
};

void TestHttpResponse::wireBytes_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("reason");
    QTest::addColumn<QByteArrayList>("headers"); // name, value, name, value...
    QTest::addColumn<QByteArrayList>("parts"); // the last one is written as the last part
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<bool>("closes");

    QTest::newRow("content length") << 404 << QByteArray("not found") << QByteArrayList()
                                    << QByteArrayList({"404 not found"})
                                    << QByteArray("HTTP/1.1 404 not found\r\nContent-Length: 13\r\n" + securityHeaders
                                                  + "\r\n404 not found")
                                    << false;
    QTest::newRow("empty last part") << 200 << QByteArray("OK") << QByteArrayList() << QByteArrayList({""})
                                     << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n" + securityHeaders
                                                   + "\r\n")
                                     << false;
    QTest::newRow("chunked") << 200 << QByteArray("OK") << QByteArrayList() << QByteArrayList({"ab", "cd"})
                             << QByteArray("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n" + securityHeaders
                                           + "\r\n2\r\nab\r\n2\r\ncd\r\n0\r\n\r\n")
                             << false;
    QTest::newRow("chunked, empty last") << 200 << QByteArray("OK") << QByteArrayList()
                                         << QByteArrayList({QByteArray(300, 'z'), ""})
                                         << "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n" + securityHeaders
                    + "\r\n12c\r\n" + QByteArray(300, 'z') + "\r\n0\r\n\r\n"
                                         << false;
    QTest::newRow("capital Chunked") << 200 << QByteArray("OK") << QByteArrayList({"Transfer-Encoding", "Chunked"})
                                     << QByteArrayList({"abc"})
                                     << QByteArray("HTTP/1.1 200 OK\r\nTransfer-Encoding: Chunked\r\n" + securityHeaders
                                                   + "\r\n3\r\nabc\r\n0\r\n\r\n")
                                     << false;
    QTest::newRow("connection close") << 200 << QByteArray("OK") << QByteArrayList({"Connection", "close"})
                                      << QByteArrayList({"ab", "cd"})
                                      << QByteArray("HTTP/1.1 200 OK\r\nConnection: close\r\n" + securityHeaders
                                                    + "\r\nabcd")
                                      << true;
    QTest::newRow("Connection Close") << 200 << QByteArray("OK") << QByteArrayList({"Connection", "Close"})
                                      << QByteArrayList({"x"})
                                      << QByteArray("HTTP/1.1 200 OK\r\nConnection: Close\r\n" + securityHeaders
                                                    + "\r\nx")
                                      << true;
    QTest::newRow("other encoding") << 200 << QByteArray("OK") << QByteArrayList({"Transfer-Encoding", "gzip"})
                                    << QByteArrayList({"ab", "cd"})
                                    << QByteArray("HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip\r\n" + securityHeaders
                                                  + "\r\nabcd")
                                    << true;
    QTest::newRow("given length") << 200 << QByteArray("OK") << QByteArrayList({"Content-Length", "4"})
                                  << QByteArrayList({"ab", "cd"})
                                  << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 4\r\n" + securityHeaders
                                                + "\r\nabcd")
                                  << false;
    QTest::newRow("header order") << 201 << QByteArray("Created")
                                  << QByteArrayList({"x-low", "1", "Content-Type", "text/plain", "Z-Up", "2",
                                                     "Cache-Control", "max-age=1"})
                                  << QByteArrayList({"hi"})
                                  << QByteArray(
                                             "HTTP/1.1 201 Created\r\nCache-Control: max-age=1\r\nContent-Length: 2\r\n"
                                             "Content-Type: text/plain\r\nX-Content-Type-Options: nosniff\r\n"
                                             "X-Frame-Options: DENY\r\nZ-Up: 2\r\nx-low: 1\r\n\r\nhi")
                                  << false;
    QTest::newRow("header order, chunked")
            << 200 << QByteArray("OK") << QByteArrayList({"Content-Type", "a/b", "Cache-Control", "c"})
            << QByteArrayList({"1", ""})
            << QByteArray("HTTP/1.1 200 OK\r\nCache-Control: c\r\nContent-Type: a/b\r\n"
                          "Transfer-Encoding: chunked\r\n"
                          + securityHeaders + "\r\n1\r\n1\r\n0\r\n\r\n")
            << false;
    QTest::newRow("empty reason") << 500 << QByteArray() << QByteArrayList() << QByteArrayList({"e"})
                                  << QByteArray("HTTP/1.1 500 \r\nContent-Length: 1\r\n" + securityHeaders + "\r\ne")
                                  << false;
}

void TestHttpResponse::wireBytes()
{
    QFETCH(int, status);
    QFETCH(QByteArray, reason);
    QFETCH(QByteArrayList, headers);
    QFETCH(QByteArrayList, parts);
    QFETCH(bool, closes);

    SocketPair pair;
    QVERIFY(pair.peer);
    HttpResponse response(pair.peer.get());
    if (status != 200 || reason != "OK")
        response.setStatus(status, reason);
    for (int i = 0; i + 1 < headers.size(); i += 2)
        response.setHeader(headers.at(i), headers.at(i + 1));
    for (int i = 0; i < parts.size(); ++i)
        response.write(parts.at(i), i == parts.size() - 1);
    QVERIFY(response.hasSentLastPart());
    QTEST(pair.readAll(closes), "expected");
    QCOMPARE(pair.client.state() == QAbstractSocket::UnconnectedState, closes);
}

void TestHttpResponse::changesAfterFirstWrite()
{
    SocketPair pair;
    HttpResponse response(pair.peer.get());
    response.setHeader("Content-Length", 6);
    response.write("abc");
    response.setStatus(500, "late");
    response.setHeader("X-Late", "1");
    QVERIFY(!response.hasSentLastPart());
    response.write("def", true);
    QCOMPARE(pair.readAll(false),
             QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 6\r\n" + securityHeaders + "\r\nabcdef"));
}

void TestHttpResponse::cookieValue_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<int>("maxAge");
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QByteArray>("comment");
    QTest::addColumn<QByteArray>("domain");
    QTest::addColumn<bool>("secure");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("path and age") << QByteArray("id") << QByteArray("5") << 60 << QByteArray("/") << QByteArray()
                                  << QByteArray() << false << QByteArray("id=5; Max-Age=60; Path=/; Version=1");
    QTest::newRow("minimal") << QByteArray("a") << QByteArray() << 0 << QByteArray() << QByteArray() << QByteArray()
                             << false << QByteArray("a=; Version=1");
    QTest::newRow("all fields")
            << QByteArray("s") << QByteArray("v w") << -1 << QByteArray("/p") << QByteArray("c")
            << QByteArray("d.example") << true
            << QByteArray("s=v w; Comment=c; Domain=d.example; Max-Age=-1; Path=/p; Secure; Version=1");
}

void TestHttpResponse::cookieValue()
{
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, value);
    QFETCH(int, maxAge);
    QFETCH(QByteArray, path);
    QFETCH(QByteArray, comment);
    QFETCH(QByteArray, domain);
    QFETCH(bool, secure);
    const HttpCookie built(name, value, maxAge, path, comment, domain, secure);
    QTEST(built.toHeaderValue(), "expected");

    HttpCookie set;
    QCOMPARE(set.getVersion(), 1);
    QCOMPARE(set.getMaxAge(), 0);
    set.setName(name);
    set.setValue(value);
    set.setMaxAge(maxAge);
    set.setPath(path);
    set.setComment(comment);
    set.setDomain(domain);
    set.setSecure(secure);
    QTEST(set.toHeaderValue(), "expected");
}

void TestHttpResponse::setCookie()
{
    SocketPair pair;
    HttpResponse response(pair.peer.get());
    response.setCookie(HttpCookie("b", "2", 0, ""));
    response.setCookie(HttpCookie("a", "old", 0, ""));
    response.setCookie(HttpCookie("a", "1", 10));
    response.setCookie(HttpCookie("", "ignored", 0));
    response.setHeader("X", "y");
    response.write("", true);
    QCOMPARE(pair.readAll(false),
             QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 0\r\nX: y\r\nX-Content-Type-Options: nosniff\r\n"
                        "X-Frame-Options: DENY\r\n"
                        "Set-Cookie: a=1; Max-Age=10; Path=/; Version=1\r\n"
                        "Set-Cookie: b=2; Version=1\r\n\r\n"));
}

void TestHttpResponse::splitAttributes_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArrayList>("pieces");
    QTest::newRow("simple") << QByteArray("a=1; b=2") << QByteArrayList({"a=1", "b=2"});
    QTest::newRow("quoted semicolon") << QByteArray("a=1; b=\"x;y\"; z") << QByteArrayList({"a=1", "b=x;y", "z"});
    QTest::newRow("empty pieces") << QByteArray(" ; ;a ;; ") << QByteArrayList({"a"});
    QTest::newRow("unterminated quote") << QByteArray("a=\"x;y") << QByteArrayList({"a=x;y"});
    QTest::newRow("empty") << QByteArray() << QByteArrayList();
}

void TestHttpResponse::splitAttributes()
{
    QFETCH(QByteArray, input);
    QTEST(QByteArrayList(HttpCookie::splitAttributes(input)), "pieces");
}

void TestHttpResponse::stalledReader()
{
    // The client never reads: once the socket buffers are full every further
    // send gives up after the write timeout and the connection is dropped.
    SocketPair pair;
    pair.client.setReadBufferSize(1);
    HttpResponse response(pair.peer.get(), 100);
    const QByteArray block(65536, 'x');
    int writes = 0;
    while (pair.peer->state() == QAbstractSocket::ConnectedState && writes < 2000) {
        response.write(block);
        ++writes;
    }
    QCOMPARE(pair.peer->state(), QAbstractSocket::UnconnectedState);
    QVERIFY(writes < 2000);
    response.write(block, true); // swallowed
    QVERIFY(response.hasSentLastPart());
}

QTEST_GUILESS_MAIN(TestHttpResponse)
#include "tst_httpresponse.moc"
