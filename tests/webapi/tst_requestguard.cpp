// Host and cross-site decisions without sockets: header sets as browsers,
// curl and hostile pages send them.

#include <QHostInfo>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include "requestguard.h"

namespace {

typedef QMultiMap<QByteArray, QByteArray> Headers;

Headers headersOf(const QByteArrayList &lines)
{
    Headers headers;
    for (const QByteArray &line : lines) {
        const int colon = line.indexOf(':');
        headers.insert(line.left(colon), line.mid(colon + 1).trimmed());
    }
    return headers;
}

// What Chromium sends for a fetch() of the gateway's own page.
QByteArrayList chromiumSameOrigin(const QByteArray &authority)
{
    return {"Host: " + authority,   "Origin: http://" + authority, "Sec-Fetch-Site: same-origin",
            "Sec-Fetch-Mode: cors", "Sec-Fetch-Dest: empty",       "Referer: http://" + authority + "/index.html"};
}

} // namespace

Q_DECLARE_METATYPE(RequestGuard::Verdict)

class TestRequestGuard : public QObject
{
    Q_OBJECT
private slots:
    void host_data();
    void host();
    void machineName();
    void configFile_data();
    void configFile();
    void verdict_data();
    void verdict();

private:
    const RequestGuard guard{{"brio.lan", "MyBox", "Gateway.Example."}};
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

void TestRequestGuard::machineName()
{
    const RequestGuard own(RequestGuard::machineNames());
    QByteArray name = QHostInfo::localHostName().toLower().toLatin1();
    if (name.isEmpty())
        QSKIP("the machine has no host name");
    if (name.endsWith(".local"))
        name.chop(6);
    QVERIFY(own.isAllowedHost(name));
    QVERIFY(own.isAllowedHost(name.toUpper() + ":8080"));
    QVERIFY(own.isAllowedHost(name + ".local"));
    QVERIFY(own.isAllowedHost(name + ".local:8080"));
    QVERIFY(!own.isAllowedHost(name + ".evil.example"));
    QVERIFY(!own.isAllowedHost("x" + name));
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
    QTest::addColumn<QByteArrayList>("headers");
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<bool>("encrypted");
    QTest::addColumn<RequestGuard::Verdict>("expected");

    const QByteArray ajax = "/ajax.html";
    const RequestGuard::Verdict allowed = RequestGuard::Allowed;
    const RequestGuard::Verdict foreignHost = RequestGuard::ForeignHost;
    const RequestGuard::Verdict crossSite = RequestGuard::CrossSite;

    // Legitimate callers.
    QTest::newRow("UI fetch, Chromium") << chromiumSameOrigin("127.0.0.1:8080") << ajax << false << allowed;
    QTest::newRow("UI fetch, localhost") << chromiumSameOrigin("localhost:8080") << ajax << false << allowed;
    QTest::newRow("UI fetch, IPv6") << chromiumSameOrigin("[::1]:8080") << ajax << false << allowed;
    QTest::newRow("UI form post to saveFile")
            << chromiumSameOrigin("127.0.0.1:8080") << QByteArray("/saveFile.html") << false << allowed;
    QTest::newRow("curl") << QByteArrayList{"Host: 127.0.0.1:8080", "User-Agent: curl/7.88.1", "Accept: */*"} << ajax
                          << false << allowed;
    QTest::newRow("no Host at all") << QByteArrayList{} << ajax << false << allowed;
    QTest::newRow("typed into the address bar")
            << QByteArrayList{"Host: 127.0.0.1:8080", "Sec-Fetch-Site: none", "Sec-Fetch-Mode: navigate"} << ajax
            << false << allowed;
    QTest::newRow("default port left out")
            << QByteArrayList{"Host: localhost", "Origin: http://localhost:80", "Referer: http://LOCALHOST/"} << ajax
            << false << allowed;
    QTest::newRow("default port given") << QByteArrayList{"Host: localhost:80", "Origin: http://localhost"} << ajax
                                        << false << allowed;
    QTest::newRow("TLS") << QByteArrayList{"Host: 127.0.0.1:8443", "Origin: https://127.0.0.1:8443"} << ajax << true
                         << allowed;
    QTest::newRow("configured name") << chromiumSameOrigin("brio.lan:8080") << ajax << false << allowed;

    // Foreign pages.
    QTest::newRow("cross-site img GET") << QByteArrayList{"Host: 127.0.0.1:8080", "Sec-Fetch-Site: cross-site",
                                                          "Sec-Fetch-Mode: no-cors", "Sec-Fetch-Dest: image"}
                                        << QByteArray("/ajax.html?func=disconnect") << false << crossSite;
    QTest::newRow("same-site is not same-origin")
            << QByteArrayList{"Host: 127.0.0.1:8080", "Sec-Fetch-Site: same-site"} << ajax << false << crossSite;
    QTest::newRow("fetch metadata in lower case")
            << QByteArrayList{"Host: 127.0.0.1:8080", "sec-fetch-site: cross-site"} << ajax << false << crossSite;
    QTest::newRow("cross-origin POST") << QByteArrayList{"Host: 127.0.0.1:8080", "Origin: http://evil.example",
                                                         "Sec-Fetch-Site: cross-site"}
                                       << ajax << false << crossSite;
    QTest::newRow("foreign Origin alone")
            << QByteArrayList{"Host: 127.0.0.1:8080", "Origin: http://evil.example"} << ajax << false << crossSite;
    QTest::newRow("Origin on another port")
            << QByteArrayList{"Host: 127.0.0.1:8080", "Origin: http://127.0.0.1:9090"} << ajax << false << crossSite;
    QTest::newRow("Origin of another scheme")
            << QByteArrayList{"Host: 127.0.0.1:8080", "Origin: https://127.0.0.1:8080"} << ajax << false << crossSite;
    QTest::newRow("plain Origin on TLS") << QByteArrayList{"Host: 127.0.0.1:8443", "Origin: http://127.0.0.1:8443"}
                                         << ajax << true << crossSite;
    QTest::newRow("opaque Origin") << QByteArrayList{"Host: 127.0.0.1:8080", "Origin: null"} << ajax << false
                                   << crossSite;
    QTest::newRow("Origin with the host as prefix")
            << QByteArrayList{"Host: 127.0.0.1:8080", "Origin: http://127.0.0.1:8080.evil.example"} << ajax << false
            << crossSite;
    QTest::newRow("Origin without Host") << QByteArrayList{"Origin: http://127.0.0.1:8080"} << ajax << false
                                         << crossSite;
    QTest::newRow("foreign Referer") << QByteArrayList{"Host: 127.0.0.1:8080", "Referer: http://evil.example/page.html"}
                                     << ajax << false << crossSite;
    QTest::newRow("Referer on another port")
            << QByteArrayList{"Host: localhost:8080", "Referer: http://localhost:3000/"} << ajax << false << crossSite;
    QTest::newRow("unreadable Referer") << QByteArrayList{"Host: localhost:8080", "Referer: not a url"} << ajax << false
                                        << crossSite;
    QTest::newRow("second Origin foreign")
            << QByteArrayList{"Host: 127.0.0.1:8080", "Origin: http://127.0.0.1:8080", "Origin: http://evil.example"}
            << ajax << false << crossSite;
    QTest::newRow("cross-site to saveFile") << QByteArrayList{"Host: 127.0.0.1:8080", "Sec-Fetch-Site: cross-site"}
                                            << QByteArray("/saveFile.html") << false << crossSite;
    QTest::newRow("cross-site to loadFile") << QByteArrayList{"Host: 127.0.0.1:8080", "Origin: http://evil.example"}
                                            << QByteArray("/x/loadFile.html") << false << crossSite;

    // Static files are open to other sites, not to other host names.
    QTest::newRow("cross-site static file")
            << QByteArrayList{"Host: 127.0.0.1:8080", "Sec-Fetch-Site: cross-site", "Origin: http://evil.example"}
            << QByteArray("/images/min_logo.gif") << false << allowed;
    QTest::newRow("rebinding, static file")
            << QByteArrayList{"Host: evil.example:8080"} << QByteArray("/index.html") << false << foreignHost;
    QTest::newRow("rebinding, as same-origin as it gets")
            << chromiumSameOrigin("evil.example:8080") << ajax << false << foreignHost;
    QTest::newRow("prefix host") << chromiumSameOrigin("localhost.evil.example:8080") << ajax << false << foreignHost;
    QTest::newRow("second Host foreign") << QByteArrayList{"Host: 127.0.0.1:8080", "Host: evil.example"}
                                         << QByteArray("/") << false << foreignHost;
    QTest::newRow("two allowed Hosts that differ") << QByteArrayList{"Host: 127.0.0.1:8080", "Host: localhost:8080"}
                                                   << QByteArray("/") << false << foreignHost;
    QTest::newRow("Host in lower case") << QByteArrayList{"host: evil.example"} << QByteArray("/") << false
                                        << foreignHost;
}

void TestRequestGuard::verdict()
{
    QFETCH(QByteArrayList, headers);
    QFETCH(QByteArray, path);
    QFETCH(bool, encrypted);
    QTEST(guard.check(headersOf(headers), path, encrypted), "expected");
}

QTEST_GUILESS_MAIN(TestRequestGuard)
#include "tst_requestguard.moc"
