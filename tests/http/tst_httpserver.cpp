// Listener, handler pool and connection handlers over real loopback sockets.

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QtTest>

#include <cerrno>
#include <limits>
#include <stdexcept>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include "httpconnectionhandler.h"
#include "httprequest.h"
#include "httpresponse.h"
#include "httptestsupport.h"

using httptest::Client;
using httptest::Server;

namespace {

const QByteArray rejected = "HTTP/1.1 503 too many connections\r\nConnection: close\r\n\r\nToo many connections\r\n";
const QByteArray tooLarge = "HTTP/1.1 413 entity too large\r\nConnection: close\r\n\r\n413 Entity too large\r\n";
// Every reply the response writer makes carries these, in name order among the others.
const QByteArray secure = "X-Content-Type-Options: nosniff\r\nX-Frame-Options: DENY\r\n";
const QByteArray badRequest =
        "HTTP/1.1 400 bad request\r\nConnection: close\r\nContent-Length: 15\r\n" + secure + "\r\n400 bad request";

QByteArray get(const QByteArray &path, const QByteArray &extraHeaders = QByteArray())
{
    return "GET " + path + " HTTP/1.1\r\nHost: localhost\r\n" + extraHeaders + "\r\n";
}

QByteArray okText(const QByteArray &body)
{
    return "HTTP/1.1 200 OK\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n" + secure + "\r\n" + body;
}

// Answers by path; called from many handler threads at once, keeps no state.
class TestHandler : public HttpRequestHandler
{
public:
    void service(HttpRequest &request, HttpResponse &response) override
    {
        const QByteArray path = request.path();
        if (path == "/echo") {
            response.write(request.method() + ' ' + path + ' ' + request.parameter("n"), true);
        } else if (path == "/chunks") {
            response.write("ab");
            response.write("cd", true);
        } else if (path == "/close") {
            response.setHeader("Connection", "close");
            response.write("ab");
            response.write("cd");
        } else if (path == "/throw") {
            response.setStatus(202, "Accepted");
            throw std::runtime_error("handler failure");
        } else if (path == "/upload") {
            QTemporaryFile *file = request.uploadedFile("file");
            response.write((file ? file->readAll() : QByteArray("none")) + '|' + request.parameter("file"), true);
        } else if (path == "/big") {
            const QByteArray block(65536, 'b');
            for (int i = 0; i < 400; ++i)
                response.write(block);
        } else if (path == "/body") {
            response.write(request.body(), true);
        } else if (path == "/throwMidReply") {
            response.write("ab");
            throw std::runtime_error("handler failure after the headers");
        } else if (path == "/throwLater") {
            // Some object living on this thread fails in a slot of its own.
            QMetaObject::invokeMethod(
                    QThread::currentThread(), [] { throw std::runtime_error("slot failure"); }, Qt::QueuedConnection);
            response.write("later", true);
        }
        // anything else: nothing written
    }
};

int threadCount()
{
    return QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size();
}

int descriptorCount()
{
    return QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).size();
}

// A client on a bare socket: it sends at once, before the listener's thread
// has had a chance to accept, tells a reset from an orderly close, and keeps
// its end open after the server has closed (a QTcpSocket closes then).
class RawClient
{
public:
    explicit RawClient(quint16 port) : fd(::socket(AF_INET, SOCK_STREAM, 0))
    {
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected = ::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
    }
    ~RawClient() { ::close(fd); }
    Q_DISABLE_COPY(RawClient)

    bool send(const QByteArray &bytes)
    {
        return ::send(fd, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL) == bytes.size();
    }

    // Collects bytes until the server's side ends; false on a reset or a time-out.
    bool readToEnd()
    {
        bool orderly = false;
        const bool ended = httptest::waitFor([&] {
            char buffer[4096];
            const ssize_t count = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (count > 0)
                received.append(buffer, int(count));
            orderly = count == 0;
            return count == 0 || (count < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
        });
        return ended && orderly;
    }

    const int fd;
    bool connected = false;
    QByteArray received;
};

// A file part "file" with the content, after further file parts f1, f2, ...
QByteArray multipartUpload(const QByteArray &content, int otherParts = 0,
                           const QByteArray &headers = "Content-Type: multipart/form-data; boundary=XX\r\n")
{
    QByteArray body;
    for (int i = 1; i <= otherParts; ++i)
        body += "--XX\r\nContent-Disposition: form-data; name=\"f" + QByteArray::number(i)
                + "\"; filename=\"f\"\r\n\r\nx\r\n";
    body += "--XX\r\nContent-Disposition: form-data; name=\"file\"; filename=\"a.bin\"\r\n"
            "Content-Type: application/octet-stream\r\n\r\n"
            + content + "\r\n--XX--\r\n";
    return "POST /upload HTTP/1.1\r\nHost: localhost\r\n" + headers
            + "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

} // namespace

class TestHttpServer : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanup();
    void responseKinds_data();
    void responseKinds();
    void defaultHandler();
    void pipelined();
    void lowDelay();
    void connectionClose_data();
    void connectionClose();
    void rejectBeyondMaxThreads();
    void rejectAll();
    void rejectAfterRequest_data();
    void rejectAfterRequest();
    void rejectedPeerStaysOpen();
    void cleanupShrinks_data();
    void cleanupShrinks();
    void cleanupTimer();
    void aborted_data();
    void aborted();
    void framing_data();
    void framing();
    void multipartPartsCap_data();
    void multipartPartsCap();
    void stalledHeaders();
    void slowBody();
    void requestDeadline_data();
    void requestDeadline();
    void trickleHitsDeadline_data();
    void trickleHitsDeadline();
    void deadlineFreesThePool();
    void vanishedTrickler();
    void hostileLengthsNoLockOut();
    void exceptionMidReply();
    void exceptionThroughEventLoop();
    void stalledReader();
    void upload();
    void abruptDisconnects_data();
    void abruptDisconnects();
    void resetIdleConnection();
    void failedAdoption();
    void listenFailure();
    void tls();
    void tlsMissingFiles();

private:
    TestHandler handler;
    QTemporaryDir tempDir;
    int baseThreads = 0;
};

void TestHttpServer::initTestCase()
{
    QVERIFY(tempDir.isValid());
    qputenv("TMPDIR", QFile::encodeName(tempDir.path()));
    baseThreads = threadCount();
}

void TestHttpServer::cleanup()
{
    // Every server of a test function is gone: no thread and no temporary file may remain.
    QVERIFY(httptest::waitFor([&] { return threadCount() <= baseThreads; }));
    QCOMPARE(QDir(tempDir.path()).entryList(QDir::Files | QDir::Hidden), QStringList());
}

void TestHttpServer::responseKinds_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("content length") << get("/echo?n=%41") << okText("GET /echo A");
    QTest::newRow("chunked") << get("/chunks")
                             << "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n" + secure
                    + "\r\n2\r\nab\r\n2\r\ncd\r\n0\r\n\r\n";
    QTest::newRow("nothing written") << get("/nothing") << okText("");
    QTest::newRow("throwing handler") << get("/throw")
                                      << "HTTP/1.1 202 Accepted\r\nContent-Length: 0\r\n" + secure + "\r\n";
    QTest::newRow("form body") << QByteArray("POST /body HTTP/1.0\r\nContent-Length: 3\r\n\r\nxyz") << okText("xyz");
    QTest::newRow("same length twice") << QByteArray(
            "POST /body HTTP/1.1\r\nHost: localhost\r\nContent-Length: 3\r\nContent-Length: 3\r\n\r\nxyz")
                                       << okText("xyz");
}

void TestHttpServer::responseKinds()
{
    QFETCH(QByteArray, request);
    Server server(&handler, {{"readTimeout", 5000}});
    QVERIFY(server.listener->isListening());
    Client client(server.port());
    client.send(request);
    QTEST(client.readResponse(), "expected");
    // The connection stays open for the next request, whatever happened before.
    client.send(get("/echo?n=2"));
    QCOMPARE(client.readResponse(), okText("GET /echo 2"));
}

void TestHttpServer::defaultHandler()
{
    HttpRequestHandler base;
    Server server(&base, {});
    Client client(server.port());
    client.send(get("/x"));
    QCOMPARE(client.readResponse(),
             "HTTP/1.1 501 not implemented\r\nContent-Length: 19\r\n" + secure + "\r\n501 not implemented");
}

void TestHttpServer::pipelined()
{
    Server server(&handler, {});
    Client client(server.port());
    client.send(get("/echo?n=1") + get("/chunks") + get("/echo?n=3"));
    QCOMPARE(client.readResponse(), okText("GET /echo 1"));
    QCOMPARE(client.readResponse(),
             "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n" + secure + "\r\n2\r\nab\r\n2\r\ncd\r\n0\r\n\r\n");
    QCOMPARE(client.readResponse(), okText("GET /echo 3"));
    QVERIFY(client.isConnected());
}

void TestHttpServer::lowDelay()
{
    // Small kept-alive replies must not wait for the peer's delayed ACK.
    Server server(&handler, {});
    Client client(server.port());
    client.send(get("/echo"));
    QCOMPARE(client.readResponse(), okText("GET /echo "));
    int checked = 0;
    for (int fd = 0; fd < 4096; ++fd) {
        sockaddr_in local = {};
        sockaddr_in peer = {};
        socklen_t length = sizeof local;
        if (::getsockname(fd, reinterpret_cast<sockaddr *>(&local), &length) != 0 || local.sin_family != AF_INET
            || ntohs(local.sin_port) != server.port())
            continue;
        length = sizeof peer;
        if (::getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &length) != 0)
            continue; // the listening socket
        int noDelay = 0;
        length = sizeof noDelay;
        QCOMPARE(::getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, &length), 0);
        QVERIFY(noDelay != 0);
        ++checked;
    }
    QCOMPARE(checked, 1);
}

void TestHttpServer::connectionClose_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<bool>("closed");
    QTest::newRow("close") << get("/echo", "Connection: close\r\n") << okText("GET /echo ") << true;
    QTest::newRow("CLOSE") << get("/echo", "Connection: CLOSE\r\n") << okText("GET /echo ") << true;
    QTest::newRow("keep-alive") << get("/echo", "Connection: keep-alive\r\n") << okText("GET /echo ") << false;
    QTest::newRow("HTTP/1.0") << QByteArray("GET /echo HTTP/1.0\r\n\r\n") << okText("GET /echo ") << false;
    QTest::newRow("close-delimited body")
            << get("/close") << "HTTP/1.1 200 OK\r\nConnection: close\r\n" + secure + "\r\nabcd" << true;
}

void TestHttpServer::connectionClose()
{
    QFETCH(QByteArray, request);
    QFETCH(bool, closed);
    Server server(&handler, {{"readTimeout", 60000}});
    Client client(server.port());
    client.send(request);
    QTEST(client.readResponse(), "expected");
    if (closed) {
        QVERIFY(client.waitClosed());
        QCOMPARE(client.take(), QByteArray());
    } else {
        client.send(get("/echo?n=again"));
        QCOMPARE(client.readResponse(), okText("GET /echo again"));
    }
}

void TestHttpServer::rejectBeyondMaxThreads()
{
    Server server(&handler, {{"maxThreads", 2}, {"cleanupInterval", 3600000}});
    Client first(server.port());
    Client second(server.port());
    for (Client *client : {&first, &second}) {
        client->send(get("/echo"));
        QCOMPARE(client->readResponse(), okText("GET /echo "));
    }
    Client third(server.port());
    QVERIFY(third.waitClosed());
    QCOMPARE(third.take(), rejected);
    QCOMPARE(server.pool()->handlerCount(), 2);

    first.socket.disconnectFromHost();
    QVERIFY(httptest::waitFor([&] { return server.pool()->idleHandlerCount() == 1; }));
    Client fourth(server.port());
    fourth.send(get("/echo?n=4"));
    QCOMPARE(fourth.readResponse(), okText("GET /echo 4"));
    QCOMPARE(server.pool()->handlerCount(), 2);
}

void TestHttpServer::rejectAll()
{
    Server server(&handler, {{"maxThreads", 0}});
    Client client(server.port());
    QVERIFY(client.waitClosed());
    QCOMPARE(client.take(), rejected);
    QCOMPARE(server.pool()->handlerCount(), 0);
}

void TestHttpServer::rejectAfterRequest_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<bool>("beforeAccept");
    const QByteArray post =
            "POST /body HTTP/1.1\r\nHost: localhost\r\nContent-Length: 20000\r\n\r\n" + QByteArray(20000, 'p');
    QTest::newRow("get before accept") << get("/echo") << true;
    QTest::newRow("post before accept") << post << true;
    QTest::newRow("pipelined before accept") << get("/echo") + get("/echo") + get("/echo") << true;
    QTest::newRow("get after the reply") << get("/echo") << false;
    QTest::newRow("post after the reply") << post << false;
}

void TestHttpServer::rejectAfterRequest()
{
    // A request left unread when the rejected socket closes turns the close
    // into a reset, which can cost the client the reply it has not read yet.
    QFETCH(QByteArray, request);
    QFETCH(bool, beforeAccept);
    Server server(&handler, {{"maxThreads", 0}});
    const int descriptors = descriptorCount();
    for (int round = 0; round < 20; ++round) {
        RawClient client(server.port());
        QVERIFY(client.connected);
        if (beforeAccept) {
            QVERIFY(client.send(request));
        } else {
            QVERIFY(httptest::waitFor([&] {
                char byte;
                return ::recv(client.fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 1;
            }));
            QVERIFY(client.send(request));
        }
        QVERIFY2(client.readToEnd(), qPrintable(QStringLiteral("round %1").arg(round)));
        QCOMPARE(client.received, rejected);
    }
    QCOMPARE(server.pool()->handlerCount(), 0);
    // Every rejected connection lets go of its descriptor once its client has gone.
    QVERIFY(httptest::waitFor([&] { return descriptorCount() <= descriptors; }));
}

void TestHttpServer::rejectedPeerStaysOpen()
{
    // A client that neither reads nor closes must not hold a descriptor of
    // the server for long.
    Server server(&handler, {{"maxThreads", 0}});
    const int descriptors = descriptorCount();
    RawClient client(server.port());
    QVERIFY(client.send(get("/echo")));
    QVERIFY(httptest::waitFor([&] { return descriptorCount() == descriptors + 2; }));
    QVERIFY(httptest::waitFor([&] { return descriptorCount() == descriptors + 1; }));
    QVERIFY(client.readToEnd());
    QCOMPARE(client.received, rejected);
}

void TestHttpServer::cleanupShrinks_data()
{
    QTest::addColumn<int>("minThreads");
    QTest::newRow("one") << 1;
    QTest::newRow("zero") << 0;
    QTest::newRow("three") << 3;
}

void TestHttpServer::cleanupShrinks()
{
    QFETCH(int, minThreads);
    Server server(&handler, {{"minThreads", minThreads}, {"cleanupInterval", 3600000}});
    {
        std::vector<std::unique_ptr<Client>> clients;
        for (int i = 0; i < 5; ++i) {
            clients.push_back(std::make_unique<Client>(server.port()));
            clients.back()->send(get("/echo"));
            QCOMPARE(clients.back()->readResponse(), okText("GET /echo "));
        }
        // The first stays busy and is never destroyed.
        clients.erase(clients.begin() + 1, clients.end());
        QVERIFY(httptest::waitFor([&] { return server.pool()->idleHandlerCount() == 4; }));
        int expected = 5;
        for (int tick = 0; tick < 5; ++tick) {
            server.pool()->cleanup();
            expected = qMax(expected - 1, 1 + qMin(minThreads, 4));
            QCOMPARE(server.pool()->handlerCount(), expected);
        }
        QCOMPARE(server.pool()->idleHandlerCount(), qMin(minThreads, 4));
    }
    QVERIFY(httptest::waitFor([&] { return server.pool()->idleHandlerCount() == server.pool()->handlerCount(); }));
    const int before = server.pool()->handlerCount();
    server.pool()->cleanup();
    QCOMPARE(server.pool()->handlerCount(), before > minThreads ? before - 1 : before);
}

void TestHttpServer::cleanupTimer()
{
    Server server(&handler, {{"minThreads", 1}, {"cleanupInterval", 20}});
    {
        Client first(server.port());
        Client second(server.port());
        Client third(server.port());
        for (Client *client : {&first, &second, &third}) {
            client->send(get("/echo"));
            QCOMPARE(client->readResponse(), okText("GET /echo "));
        }
        QCOMPARE(server.pool()->handlerCount(), 3);
    }
    QVERIFY(httptest::waitFor([&] { return server.pool()->handlerCount() == 1; }));
    QTest::qWait(100);
    QCOMPARE(server.pool()->handlerCount(), 1);
}

void TestHttpServer::aborted_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::newRow("two-word request line") << QByteArray("GET /\r\n\r\n");
    QTest::newRow("long line") << "GET /" + QByteArray(3000, 'a') + " HTTP/1.1\r\nHost: localhost\r\n\r\n";
    QTest::newRow("endless header") << "GET / HTTP/1.1\r\nHost: localhost\r\nX: " + QByteArray(100000, 'h');
    QTest::newRow("too many headers") << "GET / HTTP/1.1\r\nHost: localhost\r\n"
                    + QByteArray("X-A: b\r\n").repeated(200) + "\r\n";
    QTest::newRow("body too large") << QByteArray("POST / HTTP/1.1\r\nHost: localhost\r\nContent-Length: 2000\r\n\r\n");
    QTest::newRow("body too large, sent")
            << "POST / HTTP/1.1\r\nHost: localhost\r\nContent-Length: 200000\r\n\r\n" + QByteArray(200000, 'x');
    QTest::newRow("negative length") << QByteArray("POST / HTTP/1.1\r\nHost: localhost\r\nContent-Length: -1\r\n\r\n");
    QTest::newRow("length 2^63-1") << QByteArray(
            "GET / HTTP/1.1\r\nHost: localhost\r\nContent-Length: 9223372036854775807\r\n\r\n");
    QTest::newRow("length 2^63") << QByteArray(
            "GET / HTTP/1.1\r\nHost: localhost\r\nContent-Length: 9223372036854775808\r\n\r\n");
    QTest::newRow("length 2^64") << QByteArray(
            "GET / HTTP/1.1\r\nHost: localhost\r\nContent-Length: 18446744073709551616\r\n\r\n");
    QTest::newRow("length 2^31") << QByteArray(
            "GET / HTTP/1.1\r\nHost: localhost\r\nContent-Length: 2147483648\r\n\r\n");
    QTest::newRow("multipart length 2^63-1")
            << QByteArray("POST / HTTP/1.1\r\nHost: localhost\r\nContent-Type: multipart/form-data; boundary=b\r\n"
                          "Content-Length: 9223372036854775807\r\n\r\n");
    // The body must not run as a request of its own.
    QTest::newRow("chunked with quoted extension")
            << QByteArray("POST /echo HTTP/1.1\r\nHost: localhost\r\nTransfer-Encoding: chunked\r\n\r\n"
                          "0;x=\"GET /echo?func=disconnect HTTP/1.1\"\r\n\r\n");
    QTest::newRow("length beside chunked") << QByteArray(
            "POST /echo HTTP/1.1\r\nHost: localhost\r\nContent-Length: 4\r\nTransfer-Encoding: chunked\r\n\r\n"
            "0\r\n\r\nGET /echo?n=smuggled HTTP/1.1\r\n\r\n");
    QTest::newRow("two lengths") << QByteArray(
            "POST /echo HTTP/1.1\r\nHost: localhost\r\nContent-Length: 0\r\nContent-Length: 33\r\n\r\n"
            "GET /echo?n=smuggled HTTP/1.1\r\n\r\n");
    QTest::newRow("multipart too large") << QByteArray(
            "POST / HTTP/1.1\r\nHost: localhost\r\nContent-Type: multipart/form-data; boundary=b\r\nContent-Length: 5001\r\n\r\n");
    QTest::newRow("multipart reaches limit")
            << "POST / HTTP/1.1\r\nHost: localhost\r\nContent-Type: multipart/form-data; boundary=b\r\nContent-Length: 5000\r\n\r\n"
                    + QByteArray(5000, 'm');
}

void TestHttpServer::aborted()
{
    QFETCH(QByteArray, request);
    Server server(&handler, {{"maxRequestSize", 1000}, {"maxMultiPartSize", 5000}});
    Client client(server.port());
    client.send(request);
    QVERIFY(client.waitClosed());
    QCOMPARE(client.take(), tooLarge);
    // The server goes on serving.
    Client next(server.port());
    next.send(get("/echo"));
    QCOMPARE(next.readResponse(), okText("GET /echo "));
}

void TestHttpServer::framing_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("expected"); // all the client gets before the server closes
    const QByteArray smuggled = "GET /echo?n=smuggled HTTP/1.1\r\nHost: localhost\r\n\r\n";
    const QByteArray length = QByteArray::number(smuggled.size());
    QTest::newRow("lower-case names") << "POST /body HTTP/1.1\r\nhost: a\r\nconnection: close\r\ncontent-length: "
                    + length + "\r\n\r\n"
                    + smuggled << okText(smuggled);
    QTest::newRow("lengths in two spellings")
            << "POST /body HTTP/1.1\r\nHost: a\r\nContent-Length: 0\r\ncontent-length: " + length + "\r\n\r\n"
                    + smuggled
            << tooLarge;
    QTest::newRow("length 1x") << "POST /body HTTP/1.1\r\nHost: a\r\nContent-Length: 1x\r\n\r\n" + smuggled << tooLarge;
    QTest::newRow("length +5") << QByteArray("POST /body HTTP/1.1\r\nHost: a\r\nContent-Length: +5\r\n\r\nhello")
                               << tooLarge;
    QTest::newRow("lower-case multipart type")
            << multipartUpload("up", 0, "content-type: Multipart/Form-Data; boundary=XX\r\nConnection: close\r\n")
            << okText("up|a.bin");
    QTest::newRow("no Host") << QByteArray("GET /echo HTTP/1.1\r\n\r\n") << badRequest;
    QTest::newRow("empty Host") << QByteArray("GET /echo HTTP/1.1\r\nHost:\r\n\r\n") << badRequest;
    QTest::newRow("two Hosts") << QByteArray("GET /echo HTTP/1.1\r\nHost: a\r\nhost: a\r\n\r\n") << badRequest;
    QTest::newRow("HTTP/1.0 without Host")
            << QByteArray("GET /echo HTTP/1.0\r\nConnection: close\r\n\r\n") << okText("GET /echo ");
    QTest::newRow("NUL in path") << QByteArray("GET /js/app.js%00.html HTTP/1.1\r\nHost: a\r\n\r\n") << badRequest;
    QTest::newRow("line feed in path") << QByteArray("GET /echo%0A HTTP/1.1\r\nHost: a\r\n\r\n") << badRequest;
    QTest::newRow("DEL in path") << QByteArray("GET /echo%7f HTTP/1.1\r\nHost: a\r\n\r\n") << badRequest;
    QTest::newRow("absolute form") << QByteArray(
            "GET http://a:8/echo?n=1 HTTP/1.1\r\nHost: A:8\r\nConnection: close\r\n\r\n")
                                   << okText("GET /echo 1");
    QTest::newRow("absolute form, Host differs")
            << QByteArray("GET http://evil.example/echo HTTP/1.1\r\nHost: a\r\n\r\n") << badRequest;
    QTest::newRow("absolute form with user")
            << QByteArray("GET http://a@b/echo HTTP/1.1\r\nHost: b\r\n\r\n") << badRequest;
}

void TestHttpServer::framing()
{
    QFETCH(QByteArray, request);
    Server server(&handler, {});
    Client client(server.port());
    client.send(request);
    QVERIFY(client.waitClosed());
    QTEST(client.take(), "expected");
}

void TestHttpServer::multipartPartsCap_data()
{
    QTest::addColumn<int>("parts");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("16 parts") << 16 << okText("last|a.bin");
    QTest::newRow("17 parts") << 17 << tooLarge;
}

void TestHttpServer::multipartPartsCap()
{
    // Each file part holds a temporary file open: a body of many small
    // parts must not use up the process's descriptors.
    QFETCH(int, parts);
    Server server(&handler, {});
    Client client(server.port());
    client.send(multipartUpload("last", parts - 1,
                                "Content-Type: multipart/form-data; boundary=XX\r\nConnection: close\r\n"));
    QVERIFY(client.waitClosed());
    QTEST(client.take(), "expected");
}

void TestHttpServer::stalledHeaders()
{
    Server server(&handler, {{"readTimeout", 300}});
    Client client(server.port());
    client.send("GET /echo HTTP/1.1\r\nHost: x\r\n");
    QVERIFY(client.waitClosed());
    QCOMPARE(client.take(), QByteArray());

    // An idle kept-alive connection is closed the same way.
    Client idle(server.port());
    idle.send(get("/echo"));
    QCOMPARE(idle.readResponse(), okText("GET /echo "));
    QVERIFY(idle.waitClosed());
    QCOMPARE(idle.take(), QByteArray());
    QVERIFY(httptest::waitFor([&] { return server.pool()->idleHandlerCount() == server.pool()->handlerCount(); }));
}

void TestHttpServer::slowBody()
{
    // Body pieces arrive well within the timeout, the whole body takes much longer.
    Server server(&handler, {{"readTimeout", 1500}});
    Client client(server.port());
    client.send("POST /body HTTP/1.1\r\nHost: localhost\r\nContent-Length: 10\r\n\r\n");
    for (int i = 0; i < 10; ++i) {
        QTest::qWait(250);
        QVERIFY(client.isConnected());
        client.send(QByteArray(1, char('0' + i)));
    }
    QCOMPARE(client.readResponse(), okText("0123456789"));
}

void TestHttpServer::requestDeadline_data()
{
    QTest::addColumn<qint64>("base");
    QTest::addColumn<qint64>("received");
    QTest::addColumn<int>("deadline");
    QTest::newRow("nothing received") << qint64(60000) << qint64(0) << 60000;
    QTest::newRow("64 KiB") << qint64(60000) << qint64(65536) << 61000;
    QTest::newRow("just below 64 KiB") << qint64(60000) << qint64(65535) << 60999;
    QTest::newRow("10 MB") << qint64(60000) << qint64(10000000) << 212587;
    QTest::newRow("small base") << qint64(500) << qint64(2000) << 530;
    QTest::newRow("negative received") << qint64(500) << qint64(-1) << 500;
    QTest::newRow("2^31") << qint64(60000) << (qint64(1) << 31) << 32828000;
    QTest::newRow("2^63-1") << qint64(60000) << std::numeric_limits<qint64>::max() << std::numeric_limits<int>::max();
}

void TestHttpServer::requestDeadline()
{
    QFETCH(qint64, base);
    QFETCH(qint64, received);
    QTEST(HttpConnectionHandler::requestDeadline(base, received), "deadline");
}

void TestHttpServer::trickleHitsDeadline_data()
{
    QTest::addColumn<QByteArray>("head");
    QTest::addColumn<QByteArray>("trickle");
    // Each piece comes well within readTimeout; the request as a whole does not.
    QTest::newRow("body") << QByteArray("POST /body HTTP/1.1\r\nHost: localhost\r\nContent-Length: 2000\r\n\r\n")
                          << QByteArray(2000, 'x');
    // An announced size buys no time: only bytes that came do.
    QTest::newRow("9.9 MB announced") << QByteArray(
            "POST /upload HTTP/1.1\r\nHost: localhost\r\nContent-Type: multipart/form-data; boundary=XX\r\n"
            "Content-Length: 9900000\r\n\r\n")
                                      << QByteArray(2000, 'x');
    QTest::newRow("headers") << QByteArray("GET /echo HTTP/1.1\r\nHost: localhost\r\n")
                             << QByteArray("X-Slow: ").repeated(100);
}

void TestHttpServer::trickleHitsDeadline()
{
    QFETCH(QByteArray, head);
    QFETCH(QByteArray, trickle);
    Server server(&handler, {{"readTimeout", 3000}, {"requestTimeout", 1000}, {"maxMultiPartSize", 20000000}});
    Client client(server.port());
    client.send(head);
    int sent = 0;
    while (client.isConnected() && sent < trickle.size()) {
        QTest::qWait(100);
        client.send(trickle.mid(sent++, 1));
    }
    QVERIFY(sent >= 2);
    QVERIFY(client.waitClosed());
    QCOMPARE(client.take(), tooLarge);
    QVERIFY(httptest::waitFor([&] { return server.pool()->idleHandlerCount() == 1; }));
}

void TestHttpServer::deadlineFreesThePool()
{
    // A pool full of slow uploads is free again after the deadline.
    Server server(&handler, {{"maxThreads", 2}, {"readTimeout", 5000}, {"requestTimeout", 500}});
    Client first(server.port());
    Client second(server.port());
    for (Client *client : {&first, &second})
        client->send("POST /body HTTP/1.1\r\nHost: localhost\r\nContent-Length: 2000\r\n\r\nx");
    QVERIFY(httptest::waitFor([&] { return server.pool()->handlerCount() == 2; }));
    for (Client *client : {&first, &second}) {
        QVERIFY(client->waitClosed());
        QCOMPARE(client->take(), tooLarge);
    }
    QVERIFY(httptest::waitFor([&] { return server.pool()->idleHandlerCount() == 2; }));
    Client next(server.port());
    next.send(get("/echo?n=next"));
    QCOMPARE(next.readResponse(), okText("GET /echo next"));
}

void TestHttpServer::vanishedTrickler()
{
    // The deadline of a client that went away must not strike the next
    // connection on the same handler.
    Server server(&handler, {{"maxThreads", 1}, {"readTimeout", 10000}, {"requestTimeout", 2000}});
    QElapsedTimer clock;
    clock.start();
    {
        Client gone(server.port());
        gone.send("POST /body HTTP/1.1\r\nHost: localhost\r\nContent-Length: 10\r\n\r\nab");
        QTest::qWait(100);
        gone.socket.abort();
    }
    QVERIFY(httptest::waitFor([&] { return server.pool()->idleHandlerCount() == 1; }));
    QTest::qWait(int(qMax<qint64>(0, 1000 - clock.elapsed())));
    Client next(server.port());
    next.send("POST /body HTTP/1.1\r\nHost: localhost\r\nContent-Length: 3\r\n\r\nx");
    // Past the first client's deadline, well within this one's.
    QTest::qWait(int(qMax<qint64>(0, 2300 - clock.elapsed())));
    QVERIFY(next.isConnected());
    next.send("yz");
    QCOMPARE(next.readResponse(), okText("xyz"));
}

void TestHttpServer::hostileLengthsNoLockOut()
{
    // Once such a 57-byte request ended a handler thread and left it busy.
    const int maxThreads = 3;
    Server server(&handler, {{"maxThreads", maxThreads}, {"cleanupInterval", 3600000}});
    for (int i = 0; i <= maxThreads; ++i) {
        Client client(server.port());
        client.send("GET / HTTP/1.1\r\nHost: localhost\r\nContent-Length: 9223372036854775790\r\n\r\n");
        QVERIFY(client.waitClosed());
        QCOMPARE(client.take(), tooLarge);
    }
    QVERIFY(httptest::waitFor([&] { return server.pool()->idleHandlerCount() == server.pool()->handlerCount(); }));
    Client next(server.port());
    next.send(get("/echo?n=served"));
    QCOMPARE(next.readResponse(), okText("GET /echo served"));
}

void TestHttpServer::exceptionMidReply()
{
    // Finishing the chunked body would pass the cut reply off as whole: the
    // connection is dropped instead, and the handler is free again.
    const int maxThreads = 2;
    Server server(&handler, {{"maxThreads", maxThreads}, {"cleanupInterval", 3600000}});
    for (int i = 0; i <= maxThreads; ++i) {
        Client client(server.port());
        client.send(get("/throwMidReply"));
        QVERIFY(client.waitClosed());
        QCOMPARE(client.take(), "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n" + secure + "\r\n2\r\nab\r\n");
        QVERIFY(httptest::waitFor([&] { return server.pool()->idleHandlerCount() == server.pool()->handlerCount(); }));
    }
    QCOMPARE(server.pool()->handlerCount(), 1);
    Client next(server.port());
    next.send(get("/echo?n=served"));
    QCOMPARE(next.readResponse(), okText("GET /echo served"));
}

void TestHttpServer::exceptionThroughEventLoop()
{
    // A slot failing on a handler thread ends that thread; the pool replaces
    // the handler instead of counting it as busy for ever. (GLib complains
    // about its unwound loop as the thread ends: why the thread is not reused.)
    const int maxThreads = 2;
    Server server(&handler, {{"maxThreads", maxThreads}, {"cleanupInterval", 3600000}});
    for (int i = 0; i <= maxThreads; ++i) {
        Client client(server.port());
        client.send(get("/throwLater"));
        QCOMPARE(client.readResponse(), okText("later"));
        QVERIFY(client.waitClosed());
        QVERIFY(httptest::waitFor([&] { return server.pool()->idleHandlerCount() == 0; }));
    }
    Client next(server.port());
    next.send(get("/echo?n=served"));
    QCOMPARE(next.readResponse(), okText("GET /echo served"));
    QVERIFY(server.pool()->handlerCount() <= maxThreads);
}

void TestHttpServer::stalledReader()
{
    // The client asks for 25 MB and reads nothing: the handler gives up after
    // readTimeout without progress instead of blocking for ever.
    Server server(&handler, {{"readTimeout", 300}});
    Client client(server.port());
    client.socket.setReadBufferSize(1);
    client.send(get("/big"));
    QVERIFY(httptest::waitFor([&] { return server.pool()->handlerCount() == 1; }));
    QVERIFY(httptest::waitFor([&] { return server.pool()->idleHandlerCount() == 1; }, 20000));
}

void TestHttpServer::upload()
{
    QByteArray content;
    for (int i = 0; i < 300000; ++i)
        content += char((i * 31 + i / 7) % 256);
    Server server(&handler, {});
    Client client(server.port());
    client.send(multipartUpload(content));
    QCOMPARE(client.readResponse(), okText(content + "|a.bin"));
}

void TestHttpServer::abruptDisconnects_data()
{
    QTest::addColumn<QByteArray>("partial");
    QTest::addColumn<bool>("reset");
    const QByteArray upload = multipartUpload(QByteArray(200000, 'u'));
    QTest::newRow("mid multipart") << upload.left(100000) << false;
    QTest::newRow("mid multipart, reset") << upload.left(100000) << true;
    QTest::newRow("mid headers") << QByteArray("GET / HTTP/1.1\r\nHost: x") << false;
    QTest::newRow("mid body, reset") << QByteArray(
            "POST /body HTTP/1.1\r\nHost: localhost\r\nContent-Length: 500\r\n\r\nabc")
                                     << true;
    QTest::newRow("mid long line") << "GET /" + QByteArray(900, 'a') << true;
}

void TestHttpServer::abruptDisconnects()
{
    QFETCH(QByteArray, partial);
    QFETCH(bool, reset);
    Server server(&handler, {{"maxRequestSize", 1000}});
    {
        Client client(server.port());
        client.send(partial);
        QVERIFY(httptest::waitFor([&] { return server.pool()->handlerCount() == 1; }));
        QTest::qWait(50);
        if (reset) {
            const linger option = {1, 0};
            ::setsockopt(int(client.socket.socketDescriptor()), SOL_SOCKET, SO_LINGER, &option, sizeof option);
        }
        client.socket.close();
    }
    QVERIFY(httptest::waitFor([&] { return server.pool()->idleHandlerCount() == 1; }));
    QVERIFY(httptest::waitFor([&] { return QDir(tempDir.path()).entryList(QDir::Files | QDir::Hidden).isEmpty(); }));
    Client next(server.port());
    next.send(get("/echo"));
    QCOMPARE(next.readResponse(), okText("GET /echo "));
}

void TestHttpServer::resetIdleConnection()
{
    Server server(&handler, {{"readTimeout", 60000}});
    Client client(server.port());
    client.send(get("/echo"));
    QCOMPARE(client.readResponse(), okText("GET /echo "));
    const linger option = {1, 0};
    ::setsockopt(int(client.socket.socketDescriptor()), SOL_SOCKET, SO_LINGER, &option, sizeof option);
    client.socket.close();
    QVERIFY(httptest::waitFor([&] { return server.pool()->idleHandlerCount() == 1; }));
}

void TestHttpServer::failedAdoption()
{
    HttpConnectionHandler connectionHandler(nullptr, &handler, nullptr);
    connectionHandler.markBusy();
    QVERIFY(QMetaObject::invokeMethod(&connectionHandler, "handleConnection", Qt::QueuedConnection,
                                      Q_ARG(tSocketDescriptor, -1)));
    QVERIFY(httptest::waitFor([&] { return !connectionHandler.isBusy(); }));
}

void TestHttpServer::listenFailure()
{
    Server first(&handler, {});
    Server second(&handler, {{"port", first.port()}});
    QVERIFY(!second.listener->isListening());
    QVERIFY(second.pool());
    second.listener->close();
    QVERIFY(!second.pool());
}

void TestHttpServer::tls()
{
    if (!QSslSocket::supportsSsl())
        QSKIP("no TLS library");
    QTemporaryDir certDir;
    QProcess openssl;
    openssl.setWorkingDirectory(certDir.path());
    openssl.start("openssl",
                  {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "key.pem", "-out", "cert.pem", "-days",
                   "1", "-subj", "/CN=localhost"});
    if (!openssl.waitForFinished(60000) || openssl.exitCode() != 0)
        QSKIP("openssl cannot make a certificate");
    // Relative names resolve against the configuration's directory, not the working directory.
    Server server(&handler, {{"sslKeyFile", "key.pem"}, {"sslCertFile", "cert.pem"}}, [&](const QString &dir) {
        for (const QString &name : {QStringLiteral("key.pem"), QStringLiteral("cert.pem")})
            QFile::copy(certDir.filePath(name), dir + '/' + name);
    });
    QVERIFY(server.pool()->isSslEnabled());

    QSslSocket client;
    client.setPeerVerifyMode(QSslSocket::VerifyNone);
    client.connectToHostEncrypted("127.0.0.1", server.port());
    QVERIFY(httptest::waitFor([&] { return client.isEncrypted(); }));
    QVERIFY(client.sessionProtocol() != QSsl::SslV3);
    QByteArray received;
    client.write(get("/echo?n=tls") + get("/chunks"));
    QVERIFY(httptest::waitFor([&] {
        received += client.readAll();
        return received.endsWith("0\r\n\r\n");
    }));
    QCOMPARE(received,
             okText("GET /echo tls") + "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n" + secure
                     + "\r\n2\r\nab\r\n2\r\ncd\r\n0\r\n\r\n");

    // A plain client gets no answer and does not hold the handler for ever.
    Client plainClient(server.port());
    plainClient.send(get("/echo"));
    QVERIFY(plainClient.waitClosed(15000));
    QVERIFY(!plainClient.take().startsWith("HTTP"));
}

void TestHttpServer::tlsMissingFiles()
{
    Server server(&handler, {{"sslKeyFile", "nokey.pem"}, {"sslCertFile", "nocert.pem"}});
    QVERIFY(!server.pool()->isSslEnabled());
    Server onlyOne(&handler, {{"sslKeyFile", "key.pem"}});
    QVERIFY(!onlyOne.pool()->isSslEnabled());
    Client client(server.port());
    client.send(get("/echo"));
    QCOMPARE(client.readResponse(), okText("GET /echo "));
}

QTEST_GUILESS_MAIN(TestHttpServer)
#include "tst_httpserver.moc"
