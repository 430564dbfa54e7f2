// Request parsing without sockets: bytes are fed through a QBuffer in pieces.

#include <QBuffer>
#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QtTest>

#include <memory>

#include "httprequest.h"

namespace {

class Limits
{
public:
    Limits(int maxRequestSize, int maxMultiPartSize)
    {
        settings = std::make_unique<QSettings>(dir.filePath("config.ini"), QSettings::IniFormat);
        settings->beginGroup("listener");
        settings->setValue("maxRequestSize", maxRequestSize);
        settings->setValue("maxMultiPartSize", maxMultiPartSize);
    }
    QTemporaryDir dir;
    std::unique_ptr<QSettings> settings;
};

// Feeds the pieces one after another, as the connection handler would.
void feed(HttpRequest &request, const QByteArrayList &pieces)
{
    for (const QByteArray &piece : pieces) {
        QBuffer buffer;
        buffer.setData(piece);
        buffer.open(QIODevice::ReadOnly);
        while (buffer.bytesAvailable() > 0 && request.status() != HttpRequest::Complete
               && request.status() != HttpRequest::Aborted)
            request.readFromSocket(&buffer);
    }
}

QByteArrayList bytewise(const QByteArray &data)
{
    QByteArrayList pieces;
    for (char c : data)
        pieces.append(QByteArray(1, c));
    return pieces;
}

QByteArray multipartBody(const QByteArray &boundary, const QList<QByteArrayList> &parts)
{
    // each part: field name, file name (may be empty), content
    QByteArray body;
    for (const QByteArrayList &part : parts) {
        body += "--" + boundary + "\r\n";
        body += "Content-Disposition: form-data; name=\"" + part.at(0) + "\"";
        if (!part.at(1).isEmpty())
            body += "; filename=\"" + part.at(1) + "\"\r\nContent-Type: application/octet-stream";
        body += "\r\n\r\n" + part.at(2) + "\r\n";
    }
    body += "--" + boundary + "--\r\n";
    return body;
}

QByteArray multipartRequest(const QByteArray &contentTypeBoundary, const QByteArray &body,
                            const QByteArray &query = QByteArray())
{
    return "POST /upload" + query + " HTTP/1.1\r\nHost: x\r\nContent-Type: multipart/form-data; boundary="
            + contentTypeBoundary + "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

} // namespace

class TestHttpRequest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void requestLine_data();
    void requestLine();
    void parameters();
    void decodeUrl_data();
    void decodeUrl();
    void headers();
    void piecewiseArrival_data();
    void piecewiseArrival();
    void limits_data();
    void limits();
    void announcedLength_data();
    void announcedLength();
    void framing_data();
    void framing();
    void formBody();
    void cookies();
    void multipartFile();
    void multipartEdgeCases_data();
    void multipartEdgeCases();
    void uploadedFilesRemoved();

private:
    QTemporaryDir tempDir;
};

void TestHttpRequest::initTestCase()
{
    // Spool and upload files land here, so leftovers are visible.
    QVERIFY(tempDir.isValid());
    qputenv("TMPDIR", QFile::encodeName(tempDir.path()));
    QCOMPARE(QDir::tempPath(), QDir(tempDir.path()).canonicalPath());
}

void TestHttpRequest::requestLine_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<int>("state");
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QByteArray>("version");

    QTest::newRow("get") << QByteArray("GET /index.html HTTP/1.1\r\nHost: x\r\n\r\n") << int(HttpRequest::Complete)
                         << QByteArray("GET") << QByteArray("/index.html") << QByteArray("HTTP/1.1");
    QTest::newRow("decoded path") << QByteArray("GET /a%20b+d?x=1 HTTP/1.0\r\n\r\n") << int(HttpRequest::Complete)
                                  << QByteArray("GET") << QByteArray("/a b d") << QByteArray("HTTP/1.0");
    QTest::newRow("bare LF lines") << QByteArray("PUT /x HTTP/1.1\nHost: a\n\n") << int(HttpRequest::Complete)
                                   << QByteArray("PUT") << QByteArray("/x") << QByteArray("HTTP/1.1");
    QTest::newRow("leading empty lines") << QByteArray("\r\n\r\nGET / HTTP/1.1\r\nHost: x\r\n\r\n")
                                         << int(HttpRequest::Complete) << QByteArray("GET") << QByteArray("/")
                                         << QByteArray("HTTP/1.1");
    QTest::newRow("absolute form") << QByteArray("GET http://a:80?q=1 HTTP/1.1\r\nHost: A:80\r\n\r\n")
                                   << int(HttpRequest::Complete) << QByteArray("GET") << QByteArray("/")
                                   << QByteArray("HTTP/1.1");
    QTest::newRow("headers pending") << QByteArray("GET / HTTP/1.1\r\nHost: x\r\n") << int(HttpRequest::ExpectHeader)
                                     << QByteArray("GET") << QByteArray("/") << QByteArray("HTTP/1.1");
    QTest::newRow("two words") << QByteArray("GET /\r\n\r\n") << int(HttpRequest::Aborted) << QByteArray()
                               << QByteArray() << QByteArray();
    QTest::newRow("four words") << QByteArray("GET  / HTTP/1.1\r\nHost: x\r\n\r\n") << int(HttpRequest::Aborted)
                                << QByteArray() << QByteArray() << QByteArray();
    QTest::newRow("no HTTP") << QByteArray("GET / FTP/1.0\r\n\r\n") << int(HttpRequest::Aborted) << QByteArray()
                             << QByteArray() << QByteArray();
}

void TestHttpRequest::requestLine()
{
    QFETCH(QByteArray, input);
    HttpRequest request(nullptr);
    feed(request, {input});
    QFETCH(int, state);
    QCOMPARE(int(request.status()), state);
    QTEST(request.method(), "method");
    QTEST(request.path(), "path");
    QTEST(request.version(), "version");
}

void TestHttpRequest::parameters()
{
    HttpRequest request(nullptr);
    feed(request, {"GET /a%20b+d?x=1&x=2&y&&%41+b=%2541&v=+a+ HTTP/1.1\r\nHost: x\r\n\r\n"});
    QCOMPARE(request.status(), HttpRequest::Complete);
    QCOMPARE(request.path(), QByteArray("/a b d"));
    QCOMPARE(request.rawPath(), QByteArray("/a%20b+d"));
    QCOMPARE(request.parameter("x"), QByteArray("2"));
    QCOMPARE(request.parameterValues("x"), QList<QByteArray>({"2", "1"}));
    QVERIFY(request.parameterMap().contains("y"));
    QCOMPARE(request.parameter("y"), QByteArray());
    QCOMPARE(request.parameter("A b"), QByteArray("%41"));
    QCOMPARE(request.parameter("v"), QByteArray(" a "));
    QCOMPARE(request.parameterMap().size(), 5);
}

void TestHttpRequest::decodeUrl_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("output");
    QTest::newRow("plain") << QByteArray("abc") << QByteArray("abc");
    QTest::newRow("plus") << QByteArray("a+b") << QByteArray("a b");
    QTest::newRow("escape") << QByteArray("%41%62") << QByteArray("Ab");
    QTest::newRow("one pass") << QByteArray("%2541") << QByteArray("%41");
    QTest::newRow("not hex") << QByteArray("%zz%") << QByteArray("%zz%");
    QTest::newRow("short at end") << QByteArray("a%4") << QByteArray("a\x04");
    QTest::newRow("high byte") << QByteArray("%C3%A9") << QByteArray("\xC3\xA9");
    QTest::newRow("nul byte") << QByteArray("a%00b") << QByteArray("a\0b", 3);
    QTest::newRow("encoded plus") << QByteArray("%2B") << QByteArray("+");
    QTest::newRow("dot dot") << QByteArray("/%2e%2e/x") << QByteArray("/../x");
}

void TestHttpRequest::decodeUrl()
{
    QFETCH(QByteArray, input);
    QTEST(HttpRequest::decodeUrl(input), "output");
}

void TestHttpRequest::headers()
{
    HttpRequest request(nullptr);
    feed(request,
         {"POST / HTTP/1.1\r\nX-Long: first\r\n  second part\r\nHost:  h  \r\n"
          "content-length: 5\r\nX-Twice: 1\r\nX-Twice: 2\r\n\r\nhello"});
    QCOMPARE(request.status(), HttpRequest::Complete);
    QCOMPARE(request.header("X-Long"), QByteArray("first second part"));
    QCOMPARE(request.headerValues("X-Long"), QList<QByteArray>({"first second part", "first"}));
    QCOMPARE(request.header("Host"), QByteArray("h"));
    QCOMPARE(request.header("HOST"), QByteArray("h"));
    QCOMPARE(request.header("X-Twice"), QByteArray("2"));
    // Header names carry no letter case: a lower-case content-length announces the body.
    QCOMPARE(request.header("Content-Length"), QByteArray("5"));
    QCOMPARE(request.body(), QByteArray("hello"));
}

void TestHttpRequest::piecewiseArrival_data()
{
    QTest::addColumn<QByteArrayList>("pieces");
    const QByteArray request = "POST /p?q=1 HTTP/1.1\r\nHost: example\r\nContent-Length: 7\r\n"
                               "Content-Type: application/x-www-form-urlencoded\r\n\r\nb=2&c=3";
    QTest::newRow("whole") << QByteArrayList({request});
    QTest::newRow("byte by byte") << bytewise(request);
    QTest::newRow("CR and LF apart") << QByteArrayList(
            {"POST /p?q=1 HTTP/1.1\r", "\nHost: example\r", "\nContent-Length: 7\r",
             "\nContent-Type: application/x-www-form-urlencoded\r\n\r", "\nb=2&c", "=3"});
}

void TestHttpRequest::piecewiseArrival()
{
    QFETCH(QByteArrayList, pieces);
    // The whole request is 130 bytes: a limit just above must hold for any split.
    Limits limits(135, 1000);
    HttpRequest request(limits.settings.get());
    feed(request, pieces);
    QCOMPARE(request.status(), HttpRequest::Complete);
    QCOMPARE(request.header("Host"), QByteArray("example"));
    QCOMPARE(request.body(), QByteArray("b=2&c=3"));
    QCOMPARE(request.parameter("q"), QByteArray("1"));
    QCOMPARE(request.parameter("c"), QByteArray("3"));
}

void TestHttpRequest::limits_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<int>("state");

    const QByteArray line = "GET / HTTP/1.1\r\nHost: x\r\n";
    QTest::newRow("line within limit") << line + "X: " + QByteArray(200 - line.size() - 7, 'a') + "\r\n\r\n"
                                       << int(HttpRequest::Complete);
    QTest::newRow("line over limit") << line + "X: " + QByteArray(5000, 'a') + "\r\n\r\n" << int(HttpRequest::Aborted);
    QTest::newRow("request line over limit") << "GET /" + QByteArray(5000, 'a') + " HTTP/1.1\r\nHost: x\r\n\r\n"
                                             << int(HttpRequest::Aborted);
    QTest::newRow("endless line") << QByteArray(100000, 'a') << int(HttpRequest::Aborted);
    QTest::newRow("many headers") << line + QByteArray("X: 1\r\n").repeated(40) + "\r\n" << int(HttpRequest::Aborted);
    QTest::newRow("body fits") << line + "Content-Length: 100\r\n\r\n" + QByteArray(100, 'b')
                               << int(HttpRequest::Complete);
    QTest::newRow("body too large") << line + "Content-Length: 190\r\n\r\n" << int(HttpRequest::Aborted);
    QTest::newRow("negative length") << line + "Content-Length: -5\r\n\r\n" << int(HttpRequest::Aborted);
    QTest::newRow("huge length") << line + "Content-Length: 99999999999999\r\n\r\n" << int(HttpRequest::Aborted);
    QTest::newRow("unparsable length") << line + "Content-Length: abc\r\n\r\n" << int(HttpRequest::Aborted);
    const QByteArray multipart = line + "Content-Type: multipart/form-data; boundary=B\r\nContent-Length: ";
    QTest::newRow("multipart too large") << multipart + "1001\r\n\r\n" << int(HttpRequest::Aborted);
    QTest::newRow("multipart at limit") << multipart + "1000\r\n\r\n" + QByteArray(1000, 'm')
                                        << int(HttpRequest::Aborted);
    QTest::newRow("multipart below limit")
            << multipart + "999\r\n\r\n" + QByteArray(999, 'm') << int(HttpRequest::Complete);
}

void TestHttpRequest::limits()
{
    QFETCH(QByteArray, input);
    Limits limits(200, 1000);
    HttpRequest request(limits.settings.get());
    feed(request, {input});
    QFETCH(int, state);
    QCOMPARE(int(request.status()), state);
}

void TestHttpRequest::announcedLength_data()
{
    QTest::addColumn<QByteArray>("headers");
    QTest::addColumn<int>("state");
    QTest::addColumn<QByteArray>("warning");
    QTest::addColumn<QByteArray>("body");

    const QByteArray tooLarge = "HttpRequest: expected body is too large";
    const QByteArray notANumber = "HttpRequest: Content-Length is not a number";
    const QByteArray multipartTooLarge = "HttpRequest: expected multipart body is too large";
    const QByteArray none;
    QTest::newRow("2^63-1") << QByteArray("Content-Length: 9223372036854775807\r\n") << int(HttpRequest::Aborted)
                            << tooLarge << none;
    QTest::newRow("2^63-18") << QByteArray("Content-Length: 9223372036854775790\r\n") << int(HttpRequest::Aborted)
                             << tooLarge << none;
    QTest::newRow("2^63") << QByteArray("Content-Length: 9223372036854775808\r\n") << int(HttpRequest::Aborted)
                          << tooLarge << none;
    QTest::newRow("2^64") << QByteArray("Content-Length: 18446744073709551616\r\n") << int(HttpRequest::Aborted)
                          << tooLarge << none;
    QTest::newRow("2^31") << QByteArray("Content-Length: 2147483648\r\n") << int(HttpRequest::Aborted) << tooLarge
                          << none;
    QTest::newRow("2^31-1") << QByteArray("Content-Length: 2147483647\r\n") << int(HttpRequest::Aborted) << tooLarge
                            << none;
    QTest::newRow("-1") << QByteArray("Content-Length: -1\r\n") << int(HttpRequest::Aborted) << notANumber << none;
    QTest::newRow("-2^63") << QByteArray("Content-Length: -9223372036854775808\r\n") << int(HttpRequest::Aborted)
                           << notANumber << none;
    QTest::newRow("-2^64") << QByteArray("Content-Length: -18446744073709551616\r\n") << int(HttpRequest::Aborted)
                           << notANumber << none;
    QTest::newRow("multipart 2^63-1") << QByteArray(
            "Content-Type: multipart/form-data; boundary=B\r\nContent-Length: 9223372036854775807\r\n")
                                      << int(HttpRequest::Aborted) << multipartTooLarge << none;
    QTest::newRow("multipart 2^64") << QByteArray(
            "Content-Type: multipart/form-data; boundary=B\r\nContent-Length: 18446744073709551616\r\n")
                                    << int(HttpRequest::Aborted) << multipartTooLarge << none;
    // Exactly what fits beside the 49 bytes of request line, headers and empty line.
    QTest::newRow("at the limit") << QByteArray("Content-Length: 151\r\n") << int(HttpRequest::Complete) << none
                                  << QByteArray(151, 'b');
    QTest::newRow("one above") << QByteArray("Content-Length: 152\r\n") << int(HttpRequest::Aborted) << tooLarge
                               << none;
    QTest::newRow("0") << QByteArray("Content-Length: 0\r\n") << int(HttpRequest::Complete) << none << none;
    QTest::newRow("non-numeric") << QByteArray("Content-Length: abc\r\n") << int(HttpRequest::Aborted) << notANumber
                                 << none;
    QTest::newRow("hex") << QByteArray("Content-Length: 0x10\r\n") << int(HttpRequest::Aborted) << notANumber << none;
    QTest::newRow("same value twice") << QByteArray("Content-Length: 4\r\nContent-Length: 4\r\n")
                                      << int(HttpRequest::Complete) << none << QByteArray("bbbb");
    QTest::newRow("same value listed") << QByteArray("Content-Length: 4, 4\r\n") << int(HttpRequest::Aborted)
                                       << notANumber << none;
}

void TestHttpRequest::announcedLength()
{
    QFETCH(QByteArray, headers);
    QFETCH(int, state);
    QFETCH(QByteArray, warning);
    QFETCH(QByteArray, body);
    Limits limits(200, 1000);
    HttpRequest request(limits.settings.get());
    if (!warning.isEmpty())
        QTest::ignoreMessage(QtWarningMsg, warning.constData());
    // Whatever was announced, only the bytes that come are read: 300 here.
    feed(request, {"POST / HTTP/1.1\r\nHost: x\r\n" + headers + "\r\n" + QByteArray(300, 'b')});
    QCOMPARE(int(request.status()), state);
    QCOMPARE(request.body(), body);
    QVERIFY(request.body().capacity() <= 65536);
}

void TestHttpRequest::framing_data()
{
    QTest::addColumn<QByteArray>("headers");
    QTest::addColumn<QByteArray>("warning");

    const QByteArray noChunks = "HttpRequest: Transfer-Encoding is not accepted in requests";
    const QByteArray conflict = "HttpRequest: conflicting Content-Length values";
    const QByteArray notANumber = "HttpRequest: Content-Length is not a number";
    QTest::newRow("chunked") << QByteArray("Transfer-Encoding: chunked\r\n") << noChunks;
    QTest::newRow("chunked, lower case") << QByteArray("transfer-encoding: chunked\r\n") << noChunks;
    QTest::newRow("name with blank") << QByteArray("Transfer-Encoding : chunked\r\n") << noChunks;
    QTest::newRow("identity") << QByteArray("Transfer-Encoding: identity\r\n") << noChunks;
    QTest::newRow("empty") << QByteArray("Transfer-Encoding:\r\n") << noChunks;
    QTest::newRow("length and chunked") << QByteArray("Content-Length: 4\r\nTransfer-Encoding: chunked\r\n")
                                        << noChunks;
    QTest::newRow("two lengths") << QByteArray("Content-Length: 4\r\nContent-Length: 40\r\n") << conflict;
    QTest::newRow("two lengths listed") << QByteArray("Content-Length: 4, 40\r\n") << notANumber;
    QTest::newRow("length and no number") << QByteArray("Content-Length: 4\r\nContent-Length: x\r\n") << notANumber;
    QTest::newRow("continued length") << QByteArray("Content-Length: 4\r\n 0\r\n") << notANumber;
}

void TestHttpRequest::framing()
{
    QFETCH(QByteArray, headers);
    QFETCH(QByteArray, warning);
    Limits limits(16000, 100000);
    HttpRequest request(limits.settings.get());
    QTest::ignoreMessage(QtWarningMsg, warning.constData());
    // Read as a request line, the quoted chunk extension is a second request.
    feed(request,
         {"POST /ajax.html HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers
          + "\r\n0;x=\"GET /ajax.html?func=disconnect HTTP/1.1\"\r\n\r\n"});
    QCOMPARE(request.status(), HttpRequest::Aborted);
    QCOMPARE(request.body(), QByteArray());
    QCOMPARE(request.parameterMap().size(), 0);
}

void TestHttpRequest::formBody()
{
    HttpRequest request(nullptr);
    feed(request,
         {"POST /f?a=query&b=1 HTTP/1.1\r\nHost: x\r\nContent-Type: application/x-www-form-urlencoded; charset=x\r\n"
          "Content-Length: 13\r\n\r\na=form&c=%41+"});
    QCOMPARE(request.status(), HttpRequest::Complete);
    QCOMPARE(request.parameter("a"), QByteArray("form"));
    QCOMPARE(request.parameterValues("a"), QList<QByteArray>({"form", "query"}));
    // Trimmed before decoding: an encoded trailing space stays.
    QCOMPARE(request.parameter("c"), QByteArray("A "));

    HttpRequest json(nullptr);
    feed(json,
         {"POST /f?a=query HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\nContent-Length: 6\r\n\r\na=form"});
    QCOMPARE(json.body(), QByteArray("a=form"));
    QCOMPARE(json.parameter("a"), QByteArray("query"));
}

void TestHttpRequest::cookies()
{
    HttpRequest request(nullptr);
    feed(request, {"GET / HTTP/1.1\r\nHost: x\r\nCookie: a=1; b=\"x;y\"; z\r\nCookie: a=old; c = 3 \r\n\r\n"});
    QCOMPARE(request.status(), HttpRequest::Complete);
    // Cookie lines are read newest first, so the first line's value stays.
    QCOMPARE(request.cookie("a"), QByteArray("1"));
    QCOMPARE(request.cookie("b"), QByteArray("x;y"));
    QVERIFY(request.cookieMap().contains("z"));
    QCOMPARE(request.cookie("z"), QByteArray());
    QCOMPARE(request.cookie("c"), QByteArray("3"));
    QCOMPARE(request.cookieMap().size(), 4);
    QVERIFY(request.headerValues("Cookie").isEmpty());
}

void TestHttpRequest::multipartFile()
{
    QByteArray content;
    for (int i = 0; i < 200000; ++i)
        content += char((i * 7) % 256);
    content += "\r\n\r\n--not-the-boundary\r\n";
    const QByteArray body =
            multipartBody("XyZ", {{"note", "", "a\r\nb"}, {"file", "data.bin", content}, {"q", "", "body"}});
    Limits limits(16000, 1000000);
    HttpRequest request(limits.settings.get());
    QByteArrayList pieces;
    const QByteArray all = multipartRequest("XyZ", body, "?q=query");
    for (int pos = 0; pos < all.size(); pos += 1400)
        pieces.append(all.mid(pos, 1400));
    feed(request, pieces);
    QCOMPARE(request.status(), HttpRequest::Complete);
    QTemporaryFile *file = request.uploadedFile("file");
    QVERIFY(file);
    QCOMPARE(file->pos(), qint64(0));
    QCOMPARE(file->readAll(), content);
    QCOMPARE(request.parameter("file"), QByteArray("data.bin"));
    QCOMPARE(request.parameter("note"), QByteArray("a\r\nb"));
    // Query values are added after the body's fields and win.
    QCOMPARE(request.parameter("q"), QByteArray("query"));
    QCOMPARE(request.parameterValues("q"), QList<QByteArray>({"query", "body"}));
    QVERIFY(!request.uploadedFile("note"));
}

void TestHttpRequest::multipartEdgeCases_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("fileContent"); // "-" when no upload is registered
    QTest::addColumn<QByteArray>("fieldValue");

    const QByteArray body = multipartBody("b1", {{"file", "f.txt", "text"}, {"field", "", "v"}});
    QTest::newRow("plain") << multipartRequest("b1", body) << QByteArray("text") << QByteArray("v");
    QTest::newRow("quoted boundary") << multipartRequest("\"b1\"", body) << QByteArray("-") << QByteArray();
    QTest::newRow("empty file") << multipartRequest("b1", multipartBody("b1", {{"file", "e", ""}})) << QByteArray("")
                                << QByteArray();
    const QByteArray noData = "--b1\r\nContent-Disposition: form-data; name=\"file\"; filename=\"n\"\r\n\r\n--b1--\r\n";
    QTest::newRow("no data line") << multipartRequest("b1", noData) << QByteArray("") << QByteArray();
    const QByteArray cut = "--b1\r\nContent-Disposition: form-data; name=\"file\"; filename=\"c\"\r\n\r\nabc\r\n";
    QTest::newRow("cut off part") << multipartRequest("b1", cut) << QByteArray("-") << QByteArray();
    const QByteArray unsupported = "--b1\r\nContent-Disposition: attachment; name=\"field\"\r\n\r\nx\r\n--b1--\r\n";
    QTest::newRow("not form-data") << multipartRequest("b1", unsupported) << QByteArray("-") << QByteArray();
    QByteArray longLine(150000, 'L');
    QTest::newRow("long field line") << multipartRequest("b1", multipartBody("b1", {{"field", "", longLine}}))
                                     << QByteArray("-") << longLine;
}

void TestHttpRequest::multipartEdgeCases()
{
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, fileContent);
    HttpRequest request(nullptr);
    feed(request, {input});
    QCOMPARE(request.status(), HttpRequest::Complete);
    QTemporaryFile *file = request.uploadedFile("file");
    if (fileContent == "-") {
        QVERIFY(!file);
    } else {
        QVERIFY(file);
        QCOMPARE(file->readAll(), fileContent);
    }
    QTEST(request.parameter("field"), "fieldValue");
}

void TestHttpRequest::uploadedFilesRemoved()
{
    const QDir dir(tempDir.path());
    QString uploadPath;
    {
        HttpRequest request(nullptr);
        const QByteArray body = multipartBody("b", {{"file", "f", "content"}});
        feed(request, {multipartRequest("b", body)});
        QVERIFY(request.uploadedFile("file"));
        uploadPath = request.uploadedFile("file")->fileName();
        QVERIFY(QFileInfo::exists(uploadPath));
    }
    QVERIFY(!QFileInfo::exists(uploadPath));
    {
        // Aborted while spooling, and cut off mid-part: nothing stays behind.
        Limits limits(16000, 100);
        HttpRequest aborted(limits.settings.get());
        feed(aborted, {multipartRequest("b", multipartBody("b", {{"file", "f", QByteArray(60, 'x')}}))});
        QCOMPARE(aborted.status(), HttpRequest::Aborted);
        HttpRequest cut(nullptr);
        feed(cut,
             {"POST / HTTP/1.1\r\nHost: x\r\nContent-Type: multipart/form-data; boundary=b\r\nContent-Length: 500\r\n\r\n--b\r\n"});
        QCOMPARE(cut.status(), HttpRequest::ExpectBody);
    }
    QCOMPARE(dir.entryList(QDir::Files | QDir::Hidden), QStringList());
}

QTEST_GUILESS_MAIN(TestHttpRequest)
#include "tst_httprequest.moc"
