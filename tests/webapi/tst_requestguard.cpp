// Host and proof-of-the-page decisions on parsed requests, as browsers,
// curl and hostile pages send them; and one refusal over a real socket.

#include <QBuffer>
#include <QHostInfo>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include "httprequest.h"
#include "httptestsupport.h"
#include "myhttprequesthandler.h"
#include "requestguard.h"

namespace {

// Feeds the request until its headers are complete; the guard reads no body.
RequestGuard::Verdict verdictOn(const RequestGuard &guard, const QByteArray &bytes, bool encrypted)
{
    HttpRequest request(nullptr);
    request.setEncrypted(encrypted);
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    while (buffer.bytesAvailable() > 0
           && (request.status() == HttpRequest::ExpectRequestLine || request.status() == HttpRequest::ExpectHeader))
        request.readFromSocket(&buffer);
    return guard.check(request);
}

// What Chromium sends for a fetch() of the gateway's own page.
QByteArray pageFetch(const QByteArray &authority)
{
    return "Host: " + authority + "\r\nOrigin: http://" + authority
            + "\r\nSec-Fetch-Site: same-origin\r\nSec-Fetch-Mode: cors\r\nSec-Fetch-Dest: empty\r\n"
              "Referer: http://"
            + authority + "/index.html\r\n";
}

} // namespace

Q_DECLARE_METATYPE(RequestGuard::Verdict)

class TestRequestGuard : public QObject
{
    Q_OBJECT
private slots:
    void host_data();
    void host();
    void configFile_data();
    void configFile();
    void verdict_data();
    void verdict();
    void refusedBeforeTheBody();

private:
    const RequestGuard guard{{"brio.lan", "MyBox", "Gateway.Example.", "0.0.0.0"}};
};

void TestRequestGuard::host_data()
{
    QTest::addColumn<QByteArray>("host");
    QTest::addColumn<bool>("allowed");
    QTest::newRow("IPv4") << QByteArray("127.0.0.1") << true;
    QTest::newRow("IPv4 with port") << QByteArray("127.0.0.1:8080") << true;
    QTest::newRow("LAN address") << QByteArray("10.0.0.7:80") << true;
    QTest::newRow("IPv6 bracketed") << QByteArray("[::1]") << true;
    QTest::newRow("IPv6 bracketed with port") << QByteArray("[::1]:8080") << true;
    QTest::newRow("IPv6 link-local") << QByteArray("[fe80::1]:8080") << true;
    QTest::newRow("IPv6 bare") << QByteArray("::1") << true;
    QTest::newRow("localhost") << QByteArray("localhost") << true;
    QTest::newRow("localhost upper case, port") << QByteArray("LocalHost:8080") << true;
    QTest::newRow("localhost with final dot") << QByteArray("localhost.:8080") << true;
    QTest::newRow("configured name") << QByteArray("brio.lan") << true;
    QTest::newRow("configured name, case and port") << QByteArray("BRIO.LAN:8080") << true;
    QTest::newRow("configured with dot") << QByteArray("gateway.example") << true;
    QTest::newRow("configured mixed case") << QByteArray("mybox:1") << true;
    // Reach this machine on some systems, but name no host; configuring them changes nothing.
    QTest::newRow("0.0.0.0") << QByteArray("0.0.0.0:8080") << false;
    QTest::newRow("0.0.0.0 with zeros") << QByteArray("000.0.00.0") << false;
    QTest::newRow("::") << QByteArray("[::]:8080") << false;
    QTest::newRow(":: bare") << QByteArray("::") << false;
    QTest::newRow(":: spelled out") << QByteArray("[0:0:0:0:0:0:0:0]") << false;
    QTest::newRow("0.0.0.0 as IPv6") << QByteArray("[::ffff:0.0.0.0]") << false;
    QTest::newRow("rebinding name") << QByteArray("evil.example") << false;
    QTest::newRow("rebinding name with port") << QByteArray("evil.example:8080") << false;
    QTest::newRow("localhost as prefix") << QByteArray("localhost.evil.example") << false;
    QTest::newRow("localhost as suffix") << QByteArray("evillocalhost") << false;
    QTest::newRow("subdomain of localhost") << QByteArray("a.localhost") << false;
    QTest::newRow("configured as prefix") << QByteArray("brio.lan.evil.example") << false;
    QTest::newRow("configured as suffix") << QByteArray("xbrio.lan") << false;
    QTest::newRow("subdomain of configured") << QByteArray("a.brio.lan") << false;
    QTest::newRow("address as prefix") << QByteArray("127.0.0.1.nip.io") << false;
    QTest::newRow("five parts") << QByteArray("1.2.3.4.5") << false;
    QTest::newRow("part above 255") << QByteArray("256.0.0.1") << false;
    QTest::newRow("hex address") << QByteArray("0x7f.0.0.1") << false;
    QTest::newRow("short address") << QByteArray("127.1") << false;
    QTest::newRow("name in brackets") << QByteArray("[evil.example]") << false;
    QTest::newRow("open bracket") << QByteArray("[::1") << false;
    QTest::newRow("letters as port") << QByteArray("localhost:80@evil.example") << false;
    QTest::newRow("text after brackets") << QByteArray("[::1]evil") << false;
    QTest::newRow("port only") << QByteArray(":8080") << false;
    QTest::newRow("blank") << QByteArray(" ") << false;
}

void TestRequestGuard::host()
{
    QFETCH(QByteArray, host);
    QTEST(guard.isAllowedHost(host), "allowed");
}

void TestRequestGuard::configFile_data()
{
    QTest::addColumn<QByteArray>("listener");
    QTest::addColumn<QByteArrayList>("allowed");
    QTest::addColumn<QByteArrayList>("refused");
    QTest::newRow("none") << QByteArray("host=127.0.0.1\n") << QByteArrayList{"127.0.0.1:80"}
                          << QByteArrayList{"plant.example"};
    QTest::newRow("list") << QByteArray("host=127.0.0.1\nallowedHosts=plant.example, Gateway.Lan\n")
                          << QByteArrayList{"plant.example", "gateway.lan:8080"}
                          << QByteArrayList{"example", "lan", "plant.example.evil"};
    QTest::newRow("quoted list") << QByteArray("allowedHosts=\"plant.example,gw\"\n")
                                 << QByteArrayList{"plant.example", "GW"} << QByteArrayList{"plant"};
    QTest::newRow("one name") << QByteArray("allowedHosts=gw\n") << QByteArrayList{"gw:1"}
                              << QByteArrayList{"gw.example"};
    QTest::newRow("empty entries") << QByteArray("allowedHosts=,gw,,\n") << QByteArrayList{"gw"}
                                   << QByteArrayList{"evil.example"};
    QTest::newRow("host as a name") << QByteArray("host=panel.lan\n") << QByteArrayList{"panel.lan:8080"}
                                    << QByteArrayList{"panel.lan.evil.example"};
    QTest::newRow("bound to all addresses")
            << QByteArray("host=0.0.0.0\n") << QByteArrayList{"10.1.2.3"} << QByteArrayList{"0.0.0.0", "0.0.0.0:8080"};
    // The machine's own name is the network's to resolve (mDNS, DHCP search domain).
    const QByteArray machine = QHostInfo::localHostName().toLower().toLatin1();
    if (!machine.isEmpty() && machine != "localhost" && !RequestGuard::isIpLiteral(machine))
        QTest::newRow("machine's name") << QByteArray("host=127.0.0.1\n") << QByteArrayList{"127.0.0.1"}
                                        << QByteArrayList{machine, machine + ".local:8080"};
}

void TestRequestGuard::configFile()
{
    QFETCH(QByteArray, listener);
    QFETCH(QByteArrayList, allowed);
    QFETCH(QByteArrayList, refused);
    QTemporaryDir dir;
    QFile file(dir.filePath("config.ini"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("[listener]\nport=8080\n" + listener + "[docroot]\npath=www\n");
    file.close();
    const RequestGuard configured = RequestGuard::fromConfigFile(file.fileName());
    for (const QByteArray &host : allowed)
        QVERIFY2(configured.isAllowedHost(host), host.constData());
    for (const QByteArray &host : refused)
        QVERIFY2(!configured.isAllowedHost(host), host.constData());
    QVERIFY(configured.isAllowedHost("localhost"));
}

void TestRequestGuard::verdict_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<bool>("encrypted");
    QTest::addColumn<RequestGuard::Verdict>("expected");

    const RequestGuard::Verdict allowed = RequestGuard::Allowed;
    const RequestGuard::Verdict foreignHost = RequestGuard::ForeignHost;
    const RequestGuard::Verdict crossSite = RequestGuard::CrossSite;
    const RequestGuard::Verdict noProof = RequestGuard::NoProof;
    const QByteArray write = "GET /ajax.html?func=writeRegisters&regAddr=1&valuesCnt=1&regVals=%5B5%5D HTTP/1.1\r\n";
    const QByteArray host = "Host: 127.0.0.1:8080\r\n";
    const QByteArray proof = "X-Requested-With: XMLHttpRequest\r\n";
    const QByteArray link = "Sec-Fetch-Site: none\r\nSec-Fetch-Mode: navigate\r\nSec-Fetch-Dest: document\r\n";

    // Proof (a): the page's own fetch; proof (b): the header only the page's scripts can add.
    QTest::newRow("(a) page fetch") << write + pageFetch("127.0.0.1:8080") << false << allowed;
    QTest::newRow("(a) page fetch, localhost") << write + pageFetch("localhost:8080") << false << allowed;
    QTest::newRow("(a) page fetch, IPv6") << write + pageFetch("[::1]:8080") << false << allowed;
    QTest::newRow("(a) page fetch, configured name") << write + pageFetch("brio.lan:8080") << false << allowed;
    QTest::newRow("(a) without Origin") << write + host + "Sec-Fetch-Site: same-origin\r\nSec-Fetch-Mode: no-cors\r\n"
                                        << false << allowed;
    QTest::newRow("(a) page form post to saveFile")
            << "POST /saveFile.html HTTP/1.1\r\n" + pageFetch("127.0.0.1:8080") << false << allowed;
    QTest::newRow("(b) curl") << write + host + "User-Agent: curl/7.88.1\r\n" + proof << false << allowed;
    QTest::newRow("(b) header name in lower case") << write + host + "x-requested-with: 1\r\n" << false << allowed;
    QTest::newRow("(b) with own Origin and Referer")
            << write + host + proof + "Origin: http://127.0.0.1:8080\r\nReferer: http://127.0.0.1:8080/\r\n"
            << false << allowed;
    QTest::newRow("(b) default port left out")
            << write + "Host: localhost\r\n" + proof + "Origin: http://localhost:80\r\nReferer: http://LOCALHOST/\r\n"
            << false << allowed;
    QTest::newRow("(b) TLS") << write + "Host: 127.0.0.1:8443\r\nOrigin: https://127.0.0.1:8443\r\n" + proof << true
                             << allowed;
    QTest::newRow("(b) HTTP/1.0 without Host")
            << "GET /ajax.html?func=getGeneralInfo HTTP/1.0\r\n" + proof << false << allowed;
    QTest::newRow("static file, no proof") << "GET /index.html HTTP/1.1\r\n" + host << false << allowed;
    QTest::newRow("static file in a foreign iframe")
            << "GET /index.html HTTP/1.1\r\n" + host + "Sec-Fetch-Site: cross-site\r\nSec-Fetch-Dest: iframe\r\n"
            << false << allowed;

    // A navigation the user did not ask the page for: a link in a mail, a PDF, a chat.
    QTest::newRow("link") << write + host + link << false << crossSite;
    QTest::newRow("link from a page of another port") << write + host
                    + "Sec-Fetch-Site: same-site\r\nSec-Fetch-Mode: navigate\r\nReferer: http://127.0.0.1:9090/\r\n"
                                                      << false << crossSite;
    QTest::newRow("same-origin navigation")
            << write + host + "Sec-Fetch-Site: same-origin\r\nSec-Fetch-Mode: navigate\r\n"
            << false << noProof;
    QTest::newRow("same-origin, mode missing") << write + host + "Sec-Fetch-Site: same-origin\r\n" << false << noProof;
    QTest::newRow("no metadata") << write + host << false << noProof;
    QTest::newRow("no metadata, own Referer") << write + host + "Referer: http://127.0.0.1:8080/\r\n"
                                              << false << noProof;
    QTest::newRow("empty proof header") << write + host + "X-Requested-With: \r\n" << false << noProof;
    QTest::newRow("loadFile without proof") << "POST /x/loadFile.html HTTP/1.1\r\n" + host << false << noProof;

    // Another origin, whatever else it sends.
    QTest::newRow("foreign Origin") << write + host + proof + "Origin: http://evil.example\r\n" << false << crossSite;
    QTest::newRow("page on another local port") << write + host + proof
                    + "Origin: http://127.0.0.1:9090\r\nSec-Fetch-Site: same-site\r\nSec-Fetch-Mode: cors\r\n"
                                                << false << crossSite;
    QTest::newRow("opaque Origin") << write + host + proof + "Origin: null\r\n" << false << crossSite;
    QTest::newRow("Origin of another scheme") << write + host + proof + "Origin: https://127.0.0.1:8080\r\n"
                                              << false << crossSite;
    QTest::newRow("plain Origin on TLS") << write + "Host: 127.0.0.1:8443\r\nOrigin: http://127.0.0.1:8443\r\n" + proof
                                         << true << crossSite;
    QTest::newRow("Origin with the host as prefix")
            << write + host + proof + "Origin: http://127.0.0.1:8080.evil.example\r\n"
            << false << crossSite;
    QTest::newRow("second Origin foreign")
            << write + host + proof + "Origin: http://127.0.0.1:8080\r\nOrigin: http://evil.example\r\n"
            << false << crossSite;
    QTest::newRow("foreign Referer") << write + host + proof + "Referer: http://evil.example/page.html\r\n"
                                     << false << crossSite;
    QTest::newRow("unreadable Referer") << write + host + proof + "Referer: not a url\r\n" << false << crossSite;
    QTest::newRow("foreign iframe") << write + host
                    + "Sec-Fetch-Site: cross-site\r\nSec-Fetch-Mode: navigate\r\nSec-Fetch-Dest: iframe\r\n"
                                    << false << crossSite;
    QTest::newRow("cross-site img") << write + host
                    + "Sec-Fetch-Site: cross-site\r\nSec-Fetch-Mode: no-cors\r\nSec-Fetch-Dest: image\r\n"
                                    << false << crossSite;
    QTest::newRow("fetch metadata in lower case") << write + host + proof + "sec-fetch-site: cross-site\r\n"
                                                  << false << crossSite;
    QTest::newRow("cross-site form post to saveFile") << "POST /saveFile.html HTTP/1.1\r\n" + host
                    + "Origin: http://evil.example\r\nSec-Fetch-Site: cross-site\r\nSec-Fetch-Mode: navigate\r\n"
                                                      << false << crossSite;

    // The Host, also where an absolute-form target names it.
    QTest::newRow("absolute form") << "GET http://127.0.0.1:8080/ajax.html?func=getGeneralInfo HTTP/1.1\r\n" + host
                    + proof << false
                                   << allowed;
    QTest::newRow("absolute form, foreign")
            << "GET http://evil.example/ajax.html HTTP/1.1\r\nHost: evil.example\r\n" + proof << false << foreignHost;
    QTest::newRow("absolute form, Host differs")
            << "GET http://evil.example/ajax.html HTTP/1.1\r\n" + host + proof << false << foreignHost;
    QTest::newRow("rebinding Host") << write + pageFetch("evil.example:8080") << false << foreignHost;
    QTest::newRow("rebinding Host, static file")
            << QByteArray("GET /index.html HTTP/1.1\r\nHost: evil.example:8080\r\n") << false << foreignHost;
    QTest::newRow("prefix Host") << write + pageFetch("localhost.evil.example:8080") << false << foreignHost;
    QTest::newRow("Host 0.0.0.0") << write + pageFetch("0.0.0.0:8080") << false << foreignHost;
    QTest::newRow("Host [::]") << write + pageFetch("[::]:8080") << false << foreignHost;
    QTest::newRow("Host localhost.") << write + pageFetch("localhost.:8080") << false << allowed;
    QTest::newRow("Host in lower case") << QByteArray("GET / HTTP/1.1\r\nhost: evil.example\r\n") << false
                                        << foreignHost;
}

void TestRequestGuard::verdict()
{
    QFETCH(QByteArray, request);
    QFETCH(bool, encrypted);
    QTEST(verdictOn(guard, request + "\r\n", encrypted), "expected");
}

void TestRequestGuard::refusedBeforeTheBody()
{
    // A refused upload is answered at once and closed: not a byte of its
    // body is read, so no part of it is spooled to a file.
    QTemporaryDir spool;
    const QByteArray oldTemp = qgetenv("TMPDIR");
    qputenv("TMPDIR", QFile::encodeName(spool.path()));
    QTemporaryDir dir;
    const QString config = dir.filePath("config.ini");
    {
        QFile file(config);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("[listener]\nhost=127.0.0.1\n[docroot]\npath=www\n");
    }
    QSettings docroot(config, QSettings::IniFormat);
    docroot.beginGroup("docroot");
    MyHttpRequestHandler router(nullptr, &docroot);
    {
        httptest::Server server(&router, {{"maxMultiPartSize", 10000000}});
        httptest::Client client(server.port());
        client.send("POST /loadFile.html HTTP/1.1\r\nHost: 127.0.0.1\r\nOrigin: http://evil.example\r\n"
                    "Content-Type: multipart/form-data; boundary=b\r\nContent-Length: 9000000\r\n\r\n--b\r\n");
        QVERIFY(client.waitClosed());
        QCOMPARE(client.take(),
                 QByteArray("HTTP/1.1 403 forbidden\r\nConnection: close\r\nContent-Length: 13\r\n"
                            "X-Content-Type-Options: nosniff\r\nX-Frame-Options: DENY\r\n\r\n"
                            "403 forbidden"));
        QCOMPARE(QDir(spool.path()).entryList(QDir::Files | QDir::Hidden), QStringList());
    }
    if (oldTemp.isEmpty())
        qunsetenv("TMPDIR");
    else
        qputenv("TMPDIR", oldTemp);
}

QTEST_GUILESS_MAIN(TestRequestGuard)
#include "tst_requestguard.moc"
