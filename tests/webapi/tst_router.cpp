#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#include "httplistener.h"
#include "myhttprequesthandler.h"
#include "staticfilecontroller.h"
#include "apptestsupport.h"
#include "routerclient.h"

namespace {

// Lets a test hold the Modbus lock as a long-running call would.
class ProbeRouter : public MyHttpRequestHandler
{
public:
    using MyHttpRequestHandler::MyHttpRequestHandler;
    QMutex &lock() { return modbusLock; }
};

} // namespace

class TestRouter : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void cleanup();

    void getArrayKeepsNewestValue();
    void ajaxRouting_data();
    void ajaxRouting();
    void staticFiles_data();
    void staticFiles();
    void modbusCallsReachTheEngine();
    void modbusCallsWaitForTheLock_data();
    void modbusCallsWaitForTheLock();
    void handOverSignals_data();
    void handOverSignals();
    void openFtpInExplorer_data();
    void openFtpInExplorer();
    void runFirmwareUpdater();
    void pdfDownload_data();
    void pdfDownload();
    void downloadEcho_data();
    void downloadEcho();
    void uploadEcho_data();
    void uploadEcho();
    void foreignRequests_data();
    void foreignRequests();

private:
    QTemporaryDir dir;
    QString fakeBin;
    QByteArray originalPath;
    QSettings *docroot = nullptr;
    QSettings *listenerSettings = nullptr;
    StaticFileController *files = nullptr;
    ProbeRouter *router = nullptr;
    HttpListener *listener = nullptr;
    quint16 port = 0;
};

void TestRouter::initTestCase()
{
    QCoreApplication::setOrganizationName(QStringLiteral("Tavik"));
    QCoreApplication::setApplicationName(QStringLiteral("Brio"));
    QVERIFY(dir.isValid());
    QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("www")));
    QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("bin")));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("www/index.html")), "<html>Brio test page</html>"));
    const QString config = dir.filePath(QStringLiteral("config.ini"));
    QVERIFY(writeFile(config,
                      "[listener]\nhost=127.0.0.1\nport=0\nminThreads=1\nmaxThreads=10\n"
                      "allowedHosts=brio.lan, panel.example\n"
                      "[docroot]\npath=www\n[discovery]\nbroadcastAddress=127.0.0.1\n"));

    // Stand-ins for the external programs, found through PATH; each records
    // its arguments one per line.
    fakeBin = dir.filePath(QStringLiteral("bin"));
    for (const char *name : {"explorer.exe", "Bootloader.exe"})
        QVERIFY(writeArgsRecorder(fakeBin + QLatin1Char('/') + QLatin1String(name)));
    originalPath = qgetenv("PATH");
    qputenv("PATH", fakeBin.toLocal8Bit() + ':' + originalPath);

    docroot = new QSettings(config, QSettings::IniFormat, this);
    docroot->beginGroup(QStringLiteral("docroot"));
    files = new StaticFileController(docroot, this);
    listenerSettings = new QSettings(config, QSettings::IniFormat, this);
    listenerSettings->beginGroup(QStringLiteral("listener"));
    router = new ProbeRouter(files, docroot, this);
    listener = new HttpListener(listenerSettings, router, this);
    QVERIFY(listener->isListening());
    port = listener->serverPort();
    QVERIFY(port != 0);
}

void TestRouter::cleanupTestCase()
{
    // Stop the handler threads before the router they call goes away.
    delete listener;
    listener = nullptr;
    qputenv("PATH", originalPath);
}

void TestRouter::cleanup()
{
    router->setModbusLockTimeout(10000);
}

void TestRouter::getArrayKeepsNewestValue()
{
    QMultiMap<QByteArray, QByteArray> parameters;
    parameters.insert("x", "1");
    parameters.insert("x", "2");
    parameters.insert("y", QByteArray());
    const t_GetArray array = MyHttpRequestHandler::toGetArray(parameters);
    QCOMPARE(array.size(), 2);
    QCOMPARE(array.value("x"), QByteArray("2"));
    QVERIFY(array.contains("y"));
}

void TestRouter::ajaxRouting_data()
{
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<QByteArray>("body");

    const QByteArray info = generalInfoReply;
    QTest::newRow("no parameters") << QByteArray("/ajax.html") << QByteArray();
    QTest::newRow("empty func") << QByteArray("/ajax.html?func=") << QByteArray();
    QTest::newRow("general info") << QByteArray("/ajax.html?func=getGeneralInfo") << info;
    QTest::newRow("substring match") << QByteArray("/x/ajax.html.old?func=getGeneralInfo") << info;
    QTest::newRow("ajax wins over saveFile") << QByteArray("/saveFile.html/ajax.html?func=getGeneralInfo") << info;
    QTest::newRow("ajax wins over loadFile") << QByteArray("/loadFile.html/ajax.html") << QByteArray();
    QTest::newRow("encoded path") << QByteArray("/ajax%2Ehtml?func=getGeneralInfo") << info;
    QTest::newRow("letter case matters") << QByteArray("/ajax.html?func=GetGeneralInfo") << QByteArray();
    QTest::newRow("newest func wins") << QByteArray("/ajax.html?func=nothing&func=getGeneralInfo") << info;
    QTest::newRow("unknown func") << QByteArray("/ajax.html?func=formatDisk") << QByteArray();
    QTest::newRow("collect without a search") << QByteArray("/ajax.html?func=getSearchedDevices") << QByteArray();
    QTest::newRow("start a search") << QByteArray("/ajax.html?func=startSearchingDevices") << QByteArray("ok");
    QTest::newRow("collect: nobody answered") << QByteArray("/ajax.html?func=getSearchedDevices") << QByteArray();
    QTest::newRow("report without json") << QByteArray("/ajax.html?func=sendEmail")
                                         << QByteArray("{\"error\":\"Parameter error!\"}");
}

void TestRouter::ajaxRouting()
{
    QFETCH(QByteArray, target);
    QFETCH(QByteArray, body);
    const HttpReply reply = testclient::get(port, target);
    QVERIFY(reply.complete);
    QCOMPARE(reply.statusLine, QByteArray("HTTP/1.1 200 OK"));
    QCOMPARE(reply.headers.value("Content-Type"), QByteArray("text/html"));
    QCOMPARE(reply.headers.value("Content-Security-Policy"),
             QByteArray("default-src 'none'; frame-ancestors 'none'; sandbox"));
    QCOMPARE(reply.body, body);
}

void TestRouter::staticFiles_data()
{
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::newRow("page") << QByteArray("/index.html") << 200 << QByteArray("<html>Brio test page</html>");
    QTest::newRow("missing") << QByteArray("/nothing-here.html") << 404 << QByteArray();
}

void TestRouter::staticFiles()
{
    QFETCH(QByteArray, target);
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    const HttpReply reply = testclient::get(port, target);
    QVERIFY(reply.complete);
    QCOMPARE(reply.status, status);
    if (!body.isEmpty())
        QCOMPARE(reply.body, body);
}

void TestRouter::modbusCallsReachTheEngine()
{
    const HttpReply disconnect = testclient::get(port, "/ajax.html?func=disconnect");
    QVERIFY(disconnect.complete);
    QCOMPARE(disconnect.body, QByteArray("{\"ok\":\"Disconnected\"}"));
    // Parameters travel to the engine, which refuses an incomplete connect.
    const HttpReply connect = testclient::get(port, "/ajax.html?func=connect");
    QVERIFY(connect.complete);
    QVERIFY(connect.body.startsWith("{\"error\":"));
}

void TestRouter::modbusCallsWaitForTheLock_data()
{
    QTest::addColumn<QByteArray>("func");
    for (const char *name : {"getPortSettings", "connect", "disconnect", "readRegisters", "writeRegisters",
                             "identifySlave", "readBits", "writeBits", "maskWriteRegister", "readDeviceIdentification"})
        QTest::newRow(name) << QByteArray(name);
}

void TestRouter::modbusCallsWaitForTheLock()
{
    QFETCH(QByteArray, func);
    router->setModbusLockTimeout(20);
    QMutexLocker held(&router->lock());
    QTest::ignoreMessage(QtWarningMsg, "MyHttpRequestHandler: Modbus lock timed out after 20 ms, " + func + " not run");
    const HttpReply reply = testclient::get(port, "/ajax.html?func=" + func + "&regAddr=0&valuesCnt=1");
    QVERIFY(reply.complete);
    QCOMPARE(reply.status, 200);
    QCOMPARE(reply.headers.value("Content-Type"), QByteArray("text/html"));
    QCOMPARE(reply.body, QByteArray());
}

void TestRouter::handOverSignals_data()
{
    QTest::addColumn<QByteArray>("func");
    QTest::addColumn<int>("restarts");
    QTest::addColumn<int>("updates");
    QTest::newRow("administrator") << QByteArray("runAsAdministrator") << 1 << 0;
    QTest::newRow("installer") << QByteArray("runAutoUpdate") << 0 << 1;
}

void TestRouter::handOverSignals()
{
    QFETCH(QByteArray, func);
    QFETCH(int, restarts);
    QFETCH(int, updates);
    int restartCount = 0;
    int updateCount = 0;
    // Receivers on this thread: the signals arrive queued, as in the program.
    QObject receiver;
    connect(router, &MyHttpRequestHandler::restartAppAsAdmin, &receiver, [&] { ++restartCount; });
    connect(router, &MyHttpRequestHandler::runAutoUpdate, &receiver, [&] { ++updateCount; });

    const HttpReply reply = testclient::get(port, "/ajax.html?func=" + func);
    QVERIFY(reply.complete);
    QCOMPARE(reply.status, 200);
    QCOMPARE(reply.body, QByteArray());
    QTRY_COMPARE(restartCount + updateCount, 1);
    QCOMPARE(restartCount, restarts);
    QCOMPARE(updateCount, updates);
}

void TestRouter::openFtpInExplorer_data()
{
    QTest::addColumn<QByteArray>("query");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArray>("started");

    const QByteArray error = "{\"error\":\"Parameter error!\"}";
    const QByteArray ok = "{\"ok\":\"FTP opened\"}";
    QTest::newRow("no address") << QByteArray("") << error << QByteArray();
    QTest::newRow("empty address") << QByteArray("&address=") << error << QByteArray();
    // A NUL cannot travel in a program argument; the text ends before it.
    QTest::newRow("encoded NUL") << QByteArray("&address=%2500ftp") << error << QByteArray();
    QTest::newRow("plain") << QByteArray("&address=ftp://127.0.0.1/") << ok << QByteArray("ftp://127.0.0.1/\n");
    QTest::newRow("encoded twice") << QByteArray("&address=ftp%3A%2F%2F127.0.0.1%2Fmy%2520dir") << ok
                                   << QByteArray("ftp://127.0.0.1/my dir\n");
    QTest::newRow("plus stays") << QByteArray("&address=ftp://127.0.0.1/a%252Bb%2B") << ok
                                << QByteArray("ftp://127.0.0.1/a+b+\n");
    QTest::newRow("utf-8") << QByteArray("&address=ftp://127.0.0.1/%25C5%25BC") << ok
                           << QByteArray("ftp://127.0.0.1/\xC5\xBC\n");
}

void TestRouter::openFtpInExplorer()
{
    QFETCH(QByteArray, query);
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, started);
    const QString record = argsRecord(fakeBin + QStringLiteral("/explorer.exe"));
    QFile::remove(record);

    const HttpReply reply = testclient::get(port, "/ajax.html?func=openFtpInExplorer" + query);
    QVERIFY(reply.complete);
    QCOMPARE(reply.headers.value("Content-Type"), QByteArray("text/html"));
    QCOMPARE(reply.body, body);
    if (started.isEmpty()) {
        QVERIFY(!QFile::exists(record));
    } else {
        QTRY_VERIFY(QFile::exists(record));
        QCOMPARE(readFile(record), started);
    }
}

void TestRouter::runFirmwareUpdater()
{
    QSettings store;
    store.clear();
    store.setValue(QStringLiteral("Selected_Port"), QStringLiteral("3"));
    store.setValue(QStringLiteral("baudRate"), 5);
    store.setValue(QStringLiteral("mode"), 1);
    store.setValue(QStringLiteral("slaveID"), 7);
    store.setValue(QStringLiteral("Tavik_ID"), QStringLiteral("74"));
    store.sync();
    // The updater beside the executable runs; the one found through PATH not.
    const QString installed = QCoreApplication::applicationDirPath() + QStringLiteral("/Bootloader.exe");
    QVERIFY(writeArgsRecorder(installed));
    const QString record = argsRecord(installed);
    QFile::remove(record);
    QFile::remove(argsRecord(fakeBin + QStringLiteral("/Bootloader.exe")));

    const HttpReply reply = testclient::get(port, "/ajax.html?func=runFirmwareUpdater");
    QVERIFY(reply.complete);
    QCOMPARE(reply.body, QByteArray("{\"ok\":\"1\"}"));
    QTRY_VERIFY(QFile::exists(record));
    QCOMPARE(readFile(record), QByteArray("2\n6\n4\n7\n74\n"));
    QVERIFY(!QFile::exists(argsRecord(fakeBin + QStringLiteral("/Bootloader.exe"))));
    QFile::remove(installed);
    QFile::remove(record);
    store.clear();
}

void TestRouter::pdfDownload_data()
{
    QTest::addColumn<QByteArray>("filename");
    QTest::newRow("report.pdf") << QByteArray("report.pdf");
    QTest::newRow("pdf inside the name") << QByteArray("report.pdf.txt");
}

void TestRouter::pdfDownload()
{
    QFETCH(QByteArray, filename);
    const HttpReply reply = testclient::post(
            port, "/saveFile.html", "application/x-www-form-urlencoded",
            "filename=" + filename
                    + "&fileContent=%3Chtml%3E%3Cbody%3E%3Cp%3EHello%3C%2Fp%3E%3C%2Fbody%3E%3C%2Fhtml%3E");
    QVERIFY(reply.complete);
    QCOMPARE(reply.status, 200);
    QCOMPARE(reply.headers.value("Content-Disposition"), "attachment; filename=" + filename);
    QCOMPARE(reply.headers.value("Content-type"), QByteArray("application/pdf"));
    QVERIFY(reply.body.startsWith("%PDF"));
}

void TestRouter::downloadEcho_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("disposition");
    QTest::addColumn<QByteArray>("contentType");
    QTest::addColumn<QByteArray>("body");

    const QByteArray form = "application/x-www-form-urlencoded";
    const auto post = [&](const QByteArray &target, const QByteArray &body, const QByteArray &extra = QByteArray()) {
        return "POST " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + testclient::proofHeader + "Content-Type: " + form
                + "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n" + extra + "\r\n" + body;
    };
    const auto get = [](const QByteArray &target, const QByteArray &extra = QByteArray()) {
        return "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + testclient::proofHeader + extra + "\r\n";
    };
    const QByteArray octets = "application/octet-stream";

    QTest::newRow("form body") << post("/saveFile.html", "filename=a.csv&fileContent=x%3By") << 200
                               << QByteArray("attachment; filename=a.csv") << form << QByteArray("x;y");
    QTest::newRow("query") << get("/x/saveFile.html?filename=b.txt&fileContent=a+b%0A") << 200
                           << QByteArray("attachment; filename=b.txt") << octets << QByteArray("a b\n");
    // The request's type travels only as a well-formed media type, under any spelling of its name.
    const QByteArray csv = "/saveFile.html?filename=a.csv&fileContent=1";
    QTest::newRow("content type") << get(csv, "Content-type: text/csv\r\n") << 200
                                  << QByteArray("attachment; filename=a.csv") << QByteArray("text/csv")
                                  << QByteArray("1");
    QTest::newRow("content type other spelling")
            << get(csv, "CONTENT-TYPE: text/csv; charset=\"utf-8\"\r\n") << 200
            << QByteArray("attachment; filename=a.csv") << QByteArray("text/csv; charset=\"utf-8\"") << QByteArray("1");
    QTest::newRow("bare CR in the type") << get(csv, "Content-type: text/csv\rSet-Cookie: a=1\r\n") << 200
                                         << QByteArray("attachment; filename=a.csv") << octets << QByteArray("1");
    QTest::newRow("not a media type") << get(csv, "Content-type: text/html<script>\r\n") << 200
                                      << QByteArray("attachment; filename=a.csv") << octets << QByteArray("1");
    QTest::newRow("empty content") << get("/saveFile.html?filename=e.txt&fileContent=") << 200
                                   << QByteArray("attachment; filename=e.txt") << octets << QByteArray();
    QTest::newRow("upper-case PDF is echoed")
            << get("/saveFile.html?filename=REPORT.PDF&fileContent=%3Cb%3E") << 200
            << QByteArray("attachment; filename=REPORT.PDF") << octets << QByteArray("<b>");
    QTest::newRow("no content") << get("/saveFile.html?filename=a.csv") << 400 << QByteArray() << QByteArray()
                                << QByteArray();
    QTest::newRow("no name") << get("/saveFile.html?fileContent=x") << 400 << QByteArray() << QByteArray()
                             << QByteArray();
    QTest::newRow("saveFile wins over loadFile")
            << get("/loadFile.html/saveFile.html") << 400 << QByteArray() << QByteArray() << QByteArray();
    // A decoded line break must not start a header of its own.
    QTest::newRow("line break in the name")
            << get("/saveFile.html?filename=a%0D%0AX-Evil:%201&fileContent=z") << 200
            << QByteArray("attachment; filename=aX-Evil: 1") << octets << QByteArray("z");
}

void TestRouter::downloadEcho()
{
    QFETCH(QByteArray, request);
    QFETCH(int, status);
    QFETCH(QByteArray, disposition);
    QFETCH(QByteArray, contentType);
    QFETCH(QByteArray, body);
    const HttpReply reply = testclient::exchange(port, request);
    QVERIFY(reply.complete);
    QCOMPARE(reply.status, status);
    QCOMPARE(reply.headers.value("Content-Disposition"), disposition);
    QCOMPARE(reply.hasHeader("Content-Disposition"), !disposition.isEmpty());
    QCOMPARE(reply.headers.value("Content-type"), contentType);
    QVERIFY(!reply.hasHeader("X-Evil") && !reply.hasHeader("Set-Cookie"));
    QCOMPARE(reply.headers.value("Content-Security-Policy"),
             QByteArray("default-src 'none'; frame-ancestors 'none'; sandbox"));
    QCOMPARE(reply.body, body);
}

void TestRouter::uploadEcho_data()
{
    QTest::addColumn<QByteArray>("field");
    QTest::addColumn<QByteArray>("contents");
    QTest::addColumn<int>("status");
    QTest::newRow("text file") << QByteArray("uploadedfile") << QByteArray("line 1\r\nline 2\n") << 200;
    QTest::newRow("binary bytes") << QByteArray("uploadedfile") << QByteArray("\x00\xff--x\r\n\x01", 9) << 200;
    QTest::newRow("empty file") << QByteArray("uploadedfile") << QByteArray() << 200;
    QTest::newRow("other field name") << QByteArray("file") << QByteArray("abc") << 400;
}

void TestRouter::uploadEcho()
{
    QFETCH(QByteArray, field);
    QFETCH(QByteArray, contents);
    QFETCH(int, status);
    const QByteArray boundary = "----brioTestBoundary7";
    const QByteArray body = "--" + boundary
            + "\r\n"
              "Content-Disposition: form-data; name=\"note\"\r\n\r\nignored\r\n"
              "--"
            + boundary
            + "\r\n"
              "Content-Disposition: form-data; name=\""
            + field
            + "\"; filename=\"in.txt\"\r\n"
              "Content-Type: application/octet-stream\r\n\r\n"
            + contents + "\r\n--" + boundary + "--\r\n";
    const HttpReply reply = testclient::post(port, "/loadFile.html", "multipart/form-data; boundary=" + boundary, body);
    QVERIFY(reply.complete);
    QCOMPARE(reply.status, status);
    QCOMPARE(reply.headers.value("Content-type"), status == 200 ? QByteArray("text/plain") : QByteArray());
    QCOMPARE(reply.body, status == 200 ? contents : QByteArray());
}

void TestRouter::foreignRequests_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("statusLine");
    QTest::addColumn<QByteArray>("body");

    const QByteArray self = "127.0.0.1:" + QByteArray::number(port);
    const QByteArray info = generalInfoReply;
    const QByteArray forbidden = "403 forbidden";
    const QByteArray refused = "HTTP/1.1 403 forbidden";
    const QByteArray ok = "HTTP/1.1 200 OK";
    const QByteArray generalInfo = "/ajax.html?func=getGeneralInfo";
    const auto get = [](const QByteArray &target, const QByteArray &headers) {
        return "GET " + target + " HTTP/1.1\r\n" + headers + "\r\n";
    };
    const auto chromium = [](const QByteArray &authority) {
        return "Host: " + authority + "\r\nOrigin: http://" + authority
                + "\r\nSec-Fetch-Site: same-origin\r\nSec-Fetch-Mode: cors\r\nSec-Fetch-Dest: empty\r\n"
                  "Referer: http://"
                + authority + "/index.html\r\n";
    };
    const QByteArray form = "func=getGeneralInfo";

    QTest::newRow("UI's own request") << get(generalInfo, chromium(self)) << ok << info;
    QTest::newRow("UI's own form post") << "POST /ajax.html HTTP/1.1\r\n" + chromium(self)
                    + "Content-Type: application/x-www-form-urlencoded\r\n"
                      "Content-Length: "
                    + QByteArray::number(form.size()) + "\r\n\r\n"
                    + form << ok << info;
    QTest::newRow("curl") << get(generalInfo,
                                 "Host: " + self + "\r\nUser-Agent: curl/7.88.1\r\n" + testclient::proofHeader)
                          << ok << info;
    QTest::newRow("no Host") << "GET " + generalInfo + " HTTP/1.0\r\n" + testclient::proofHeader + "\r\n" << ok << info;
    QTest::newRow("configured name") << get(generalInfo, chromium("panel.example:" + QByteArray::number(port))) << ok
                                     << info;
    QTest::newRow("static file for a foreign page")
            << get("/index.html", "Host: " + self + "\r\nSec-Fetch-Site: cross-site\r\nSec-Fetch-Dest: iframe\r\n")
            << ok << QByteArray("<html>Brio test page</html>");

    QTest::newRow("rebinding Host") << get(generalInfo, chromium("evil.example:" + QByteArray::number(port))) << refused
                                    << forbidden;
    QTest::newRow("rebinding Host, static file")
            << get("/index.html", "Host: evil.example\r\n") << refused << forbidden;
    QTest::newRow("prefix host") << get(generalInfo, "Host: localhost.evil.example\r\n") << refused << forbidden;
    QTest::newRow("cross-site GET") << get(
            "/ajax.html?func=disconnect",
            "Host: " + self
                    + "\r\nSec-Fetch-Site: cross-site\r\n"
                      "Sec-Fetch-Mode: no-cors\r\nSec-Fetch-Dest: image\r\nReferer: http://evil.example/\r\n")
                                    << refused << forbidden;
    QTest::newRow("cross-origin POST") << "POST /ajax.html HTTP/1.1\r\nHost: " + self
                    + "\r\nOrigin: http://evil.example\r\n"
                      "Sec-Fetch-Site: cross-site\r\nContent-Type: text/plain\r\nContent-Length: "
                    + QByteArray::number(form.size()) + "\r\n\r\n"
                    + form << refused << forbidden;
    QTest::newRow("curl without the proof")
            << get(generalInfo, "Host: " + self + "\r\nUser-Agent: curl/7.88.1\r\n") << refused << forbidden;
    QTest::newRow("foreign Referer") << get("/saveFile.html?filename=a.txt&fileContent=x",
                                            "Host: " + self + "\r\nReferer: http://evil.example/a\r\n")
                                     << refused << forbidden;
}

void TestRouter::foreignRequests()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, body);
    const HttpReply reply = testclient::exchange(port, request);
    QVERIFY(reply.complete);
    QTEST(reply.statusLine, "statusLine");
    QCOMPARE(reply.body, body);
    if (reply.status == 403) {
        QCOMPARE(reply.headers,
                 (QMap<QByteArray, QByteArray>{{"Connection", "close"},
                                               {"Content-Length", "13"},
                                               {"X-Content-Type-Options", "nosniff"},
                                               {"X-Frame-Options", "DENY"}}));
    }
}

QTEST_MAIN(TestRouter)
#include "tst_router.moc"
