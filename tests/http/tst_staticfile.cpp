// Static file controller served through a real listener on loopback.

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#include "httptestsupport.h"
#include "staticfilecontroller.h"

using httptest::Client;

namespace {

// Every reply of the controller: the page's own policy, and the writer's two headers.
const QByteArray policy = "Content-Security-Policy: default-src 'self'; style-src 'self' 'unsafe-inline'; "
                          "img-src 'self' data:; object-src 'none'; base-uri 'none'; form-action 'self'; "
                          "frame-ancestors 'none'\r\n";
const QByteArray secure = "X-Content-Type-Options: nosniff\r\nX-Frame-Options: DENY\r\n";
const QByteArray forbiddenReply =
        "HTTP/1.1 403 forbidden\r\nContent-Length: 13\r\n" + policy + secure + "\r\n403 forbidden";
const QByteArray notFoundReply =
        "HTTP/1.1 404 not found\r\nContent-Length: 13\r\n" + policy + secure + "\r\n404 not found";

void writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(content), qint64(content.size()));
}

// A document root "www" beside its config.ini, a controller on [docroot] and a listener.
class StaticServer
{
public:
    explicit StaticServer(const QVariantMap &docrootSettings = {})
    {
        const QString file = dir.filePath("config.ini");
        {
            QSettings writer(file, QSettings::IniFormat);
            writer.beginGroup("docroot");
            writer.setValue("path", "www");
            for (auto it = docrootSettings.cbegin(); it != docrootSettings.cend(); ++it)
                writer.setValue(it.key(), it.value());
        }
        QDir(dir.path()).mkdir("www");
        settings = std::make_unique<QSettings>(file, QSettings::IniFormat);
        settings->beginGroup("docroot");
        controller = std::make_unique<StaticFileController>(settings.get());
        server = std::make_unique<httptest::Server>(controller.get(), QVariantMap());
    }
    ~StaticServer()
    {
        server.reset();
        controller.reset();
    }

    QString root() const { return dir.filePath("www"); }

    QByteArray get(const QByteArray &path)
    {
        Client client(server->port());
        client.send("GET " + path + " HTTP/1.1\r\nHost: localhost\r\n\r\n");
        return client.readResponse();
    }

    QByteArray getBody(const QByteArray &path) { return httptest::dechunk(httptest::bodyOf(get(path))); }

    QTemporaryDir dir;
    std::unique_ptr<QSettings> settings;
    std::unique_ptr<StaticFileController> controller;
    std::unique_ptr<httptest::Server> server;
};

QByteArray fileReply(const QByteArray &contentType, const QByteArray &content, int maxAge = 60)
{
    QByteArray reply = "HTTP/1.1 200 OK\r\nCache-Control: max-age=" + QByteArray::number(maxAge) + "\r\n";
    if (content.isEmpty())
        reply += "Content-Length: 0\r\n";
    reply += policy;
    if (!contentType.isEmpty())
        reply += "Content-Type: " + contentType + "\r\n";
    if (content.isEmpty())
        return reply + secure + "\r\n";
    return reply + "Transfer-Encoding: chunked\r\n" + secure + "\r\n" + QByteArray::number(content.size(), 16) + "\r\n"
            + content + "\r\n0\r\n\r\n";
}

} // namespace

class TestStaticFile : public QObject
{
    Q_OBJECT
private slots:
    void contentTypes_data();
    void contentTypes();
    void settingsApplied();
    void documentRoot();
    void indexFile();
    void forbidden_data();
    void forbidden();
    void notFound();
    void unreadableFile();
    void emptyFile();
    void largeFile();
    void cachedSizeLimit();
    void cacheTime_data();
    void cacheTime();
    void leastRecentlyUsed();
    void tooLargeForCache();
    void concurrentClients();
};

void TestStaticFile::contentTypes_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("type");
    QTest::newRow("png") << "a.png" << QByteArray("image/png");
    QTest::newRow("jpg") << "a.jpg" << QByteArray("image/jpeg");
    QTest::newRow("gif") << "a.gif" << QByteArray("image/gif");
    QTest::newRow("pdf") << "a.pdf" << QByteArray("application/pdf");
    QTest::newRow("txt") << "a.txt" << QByteArray("text/plain; charset=UTF-8");
    QTest::newRow("html") << "a.html" << QByteArray("text/html; charset=UTF-8");
    QTest::newRow("htm") << "a.htm" << QByteArray("text/html; charset=UTF-8");
    QTest::newRow("css") << "a.css" << QByteArray("text/css");
    QTest::newRow("js") << "a.js" << QByteArray("text/javascript");
    QTest::newRow("upper-case PNG") << "a.PNG" << QByteArray();
    QTest::newRow("jpeg") << "a.jpeg" << QByteArray();
    QTest::newRow("no extension") << "README" << QByteArray();
    QTest::newRow("json") << "a.json" << QByteArray();
}

void TestStaticFile::contentTypes()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, type);
    StaticServer server;
    writeFile(server.root() + "/dir/" + name, "content");
    const QByteArray path = "/dir/" + name.toUtf8();
    QCOMPARE(server.get(path), fileReply(type, "content"));
    // The cached copy keeps its type.
    QCOMPARE(server.get(path), fileReply(type, "content"));
}

void TestStaticFile::settingsApplied()
{
    StaticServer server({{"encoding", "ISO-8859-1"}, {"maxAge", 1999}});
    writeFile(server.root() + "/a.txt", "x");
    QCOMPARE(server.get("/a.txt"), fileReply("text/plain; charset=ISO-8859-1", "x", 1));
}

void TestStaticFile::documentRoot()
{
    StaticServer server;
    QCOMPARE(server.controller->documentRoot(), QDir(server.root()).absolutePath());
    QSettings native;
    native.beginGroup("docrootTest");
    native.setValue("path", "relative/www");
    StaticFileController nativeController(&native);
    QCOMPARE(nativeController.documentRoot(), QString("relative/www"));
    native.setValue("path", ":/www");
    StaticFileController embedded(&native);
    QCOMPARE(embedded.documentRoot(), QString(":/www"));
    native.remove("");
}

void TestStaticFile::indexFile()
{
    StaticServer server;
    writeFile(server.root() + "/index.html", "<p>root</p>");
    writeFile(server.root() + "/sub/index.html", "<p>sub</p>");
    QCOMPARE(server.get("/"), fileReply("text/html; charset=UTF-8", "<p>root</p>"));
    QCOMPARE(server.get("/sub"), fileReply("text/html; charset=UTF-8", "<p>sub</p>"));
    // Cached under "/": a change on disk is not seen, the type stays.
    writeFile(server.root() + "/index.html", "<p>changed</p>");
    QCOMPARE(server.get("/"), fileReply("text/html; charset=UTF-8", "<p>root</p>"));
    QDir(server.root()).mkdir("empty");
    QCOMPARE(server.get("/empty"), notFoundReply);
}

void TestStaticFile::forbidden_data()
{
    QTest::addColumn<QByteArray>("path");
    QTest::newRow("dot dot") << QByteArray("/../config.ini");
    QTest::newRow("encoded dot dot") << QByteArray("/%2e%2e/config.ini");
    QTest::newRow("inner dot dot") << QByteArray("/a/../../config.ini");
    QTest::newRow("trailing dot dot") << QByteArray("/a/..");
    QTest::newRow("relative") << QByteArray("config.ini");
    QTest::newRow("glued to root name") << QByteArray("-outside/secret.txt");
}

void TestStaticFile::forbidden()
{
    QFETCH(QByteArray, path);
    StaticServer server;
    writeFile(server.dir.filePath("www-outside/secret.txt"), "secret");
    QCOMPARE(server.get(path), forbiddenReply);
}

void TestStaticFile::notFound()
{
    StaticServer server;
    QCOMPARE(server.get("/missing.html"), notFoundReply);
}

void TestStaticFile::unreadableFile()
{
    StaticServer server;
    const QString path = server.root() + "/locked.txt";
    writeFile(path, "locked");
    QFile::setPermissions(path, QFileDevice::Permissions());
    QFile probe(path);
    if (probe.open(QIODevice::ReadOnly))
        QSKIP("running with rights that open any file");
    QCOMPARE(server.get("/locked.txt"), forbiddenReply);
}

void TestStaticFile::emptyFile()
{
    StaticServer server;
    writeFile(server.root() + "/empty.css", QByteArray());
    QCOMPARE(server.get("/empty.css"), fileReply("text/css", QByteArray()));
}

void TestStaticFile::largeFile()
{
    StaticServer server;
    QByteArray content;
    for (int i = 0; i < 300000; ++i)
        content += char(i % 251);
    writeFile(server.root() + "/big.bin", content);
    const QByteArray reply = server.get("/big.bin");
    QVERIFY(reply.startsWith("HTTP/1.1 200 OK\r\nCache-Control: max-age=60\r\n" + policy
                             + "Transfer-Encoding: chunked\r\n" + secure + "\r\n10000\r\n"));
    QCOMPARE(httptest::dechunk(httptest::bodyOf(reply)), content);
}

void TestStaticFile::cachedSizeLimit()
{
    StaticServer server;
    writeFile(server.root() + "/fits.bin", QByteArray(65536, 'a'));
    writeFile(server.root() + "/over.bin", QByteArray(65537, 'a'));
    QCOMPARE(server.getBody("/fits.bin"), QByteArray(65536, 'a'));
    QCOMPARE(server.getBody("/over.bin"), QByteArray(65537, 'a'));
    writeFile(server.root() + "/fits.bin", QByteArray(65536, 'b'));
    writeFile(server.root() + "/over.bin", QByteArray(65537, 'b'));
    QCOMPARE(server.getBody("/fits.bin"), QByteArray(65536, 'a'));
    QCOMPARE(server.getBody("/over.bin"), QByteArray(65537, 'b'));
}

void TestStaticFile::cacheTime_data()
{
    QTest::addColumn<int>("cacheTime");
    QTest::addColumn<bool>("reloaded");
    QTest::newRow("unlimited") << 0 << false;
    QTest::newRow("expired") << 1 << true;
    QTest::newRow("fresh") << 3600000 << false;
}

void TestStaticFile::cacheTime()
{
    QFETCH(int, cacheTime);
    QFETCH(bool, reloaded);
    StaticServer server({{"cacheTime", cacheTime}});
    writeFile(server.root() + "/a.txt", "old");
    QCOMPARE(server.getBody("/a.txt"), QByteArray("old"));
    writeFile(server.root() + "/a.txt", "new");
    QTest::qWait(20);
    QCOMPARE(server.getBody("/a.txt"), reloaded ? QByteArray("new") : QByteArray("old"));
}

void TestStaticFile::leastRecentlyUsed()
{
    StaticServer server({{"cacheSize", 120}});
    for (const char *name : {"a", "b", "c"})
        writeFile(server.root() + '/' + name, QByteArray(50, name[0]));
    QCOMPARE(server.getBody("/a"), QByteArray(50, 'a'));
    QCOMPARE(server.getBody("/b"), QByteArray(50, 'b'));
    QCOMPARE(server.getBody("/a"), QByteArray(50, 'a')); // a is now the most recent
    QCOMPARE(server.getBody("/c"), QByteArray(50, 'c')); // evicts b
    for (const char *name : {"a", "b", "c"})
        writeFile(server.root() + '/' + name, QByteArray(50, 'x'));
    QCOMPARE(server.getBody("/a"), QByteArray(50, 'a'));
    QCOMPARE(server.getBody("/c"), QByteArray(50, 'c'));
    QCOMPARE(server.getBody("/b"), QByteArray(50, 'x'));
}

void TestStaticFile::tooLargeForCache()
{
    StaticServer server({{"cacheSize", 10}});
    writeFile(server.root() + "/a", QByteArray(20, 'a'));
    QCOMPARE(server.getBody("/a"), QByteArray(20, 'a'));
    writeFile(server.root() + "/a", QByteArray(20, 'b'));
    QCOMPARE(server.getBody("/a"), QByteArray(20, 'b'));
}

void TestStaticFile::concurrentClients()
{
    // Many handler threads load, hit and evict cache entries at once.
    StaticServer server({{"cacheSize", 3000}});
    const int files = 6;
    for (int i = 0; i < files; ++i)
        writeFile(server.root() + QString("/f%1.txt").arg(i), QByteArray(1000, char('a' + i)));
    std::vector<std::unique_ptr<Client>> clients;
    for (int c = 0; c < 8; ++c) {
        clients.push_back(std::make_unique<Client>(server.server->port()));
        QByteArray requests;
        for (int r = 0; r < 30; ++r)
            requests += "GET /f" + QByteArray::number((c + r) % files) + ".txt HTTP/1.1\r\nHost: localhost\r\n\r\n";
        clients.back()->send(requests);
    }
    for (int c = 0; c < 8; ++c) {
        for (int r = 0; r < 30; ++r) {
            const int i = (c + r) % files;
            QCOMPARE(httptest::dechunk(httptest::bodyOf(clients[c]->readResponse())), QByteArray(1000, char('a' + i)));
        }
    }
}

QTEST_GUILESS_MAIN(TestStaticFile)
#include "tst_staticfile.moc"
