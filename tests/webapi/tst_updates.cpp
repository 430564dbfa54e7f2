#include <QDirIterator>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#include "apptestsupport.h"
#include "childprocess.h"
#include "httplistener.h"
#include "myhttprequesthandler.h"
#include "routerclient.h"
#include "updatejson.h"
#include "updates.h"

namespace {

const QByteArray unreachable = "{\"error\":\"Unable to connect with server!\"}";
const QByteArray parameterError = "{\"error\":\"Parameter error!\"}";
const QByteArray replyError = "{\"error\":\"Reply error!\"}";
const QByteArray diskError = "{\"error\":\"Unable to write to disk!\"}";
const QByteArray completed = "{\"ok\":\"Completed correctly.\"}";
const QByteArray inProgress = "{\"ok\":\"In progress\"}";
const QByteArray started = "{\"ok\":\"Update started\"}";

// A document root with one installed module, the download directory beside
// it, and a config.ini for an update client on the given server.
struct Site
{
    explicit Site(const QString &server, int transferTimeout = 100000)
    {
        QDir().mkpath(www() + QStringLiteral("/modules/m1"));
        writeFile(www() + QStringLiteral("/modules/m1/index.html"), "old index");
        writeFile(www() + QStringLiteral("/modules/m1/old.html"), "kept");
        config = dir.filePath(QStringLiteral("config.ini"));
        QSettings writer(config, QSettings::IniFormat);
        writer.setValue(QStringLiteral("docroot/path"), www());
        writer.setValue(QStringLiteral("updates/updateServer"), server);
        writer.setValue(QStringLiteral("updates/transferTimeout"), transferTimeout);
    }
    QString www() const { return dir.filePath(QStringLiteral("www")); }
    QString tmp() const { return dir.filePath(QStringLiteral("tmp")); }
    // Every file below the site, as "relative path=content".
    QStringList files() const
    {
        QStringList out;
        QDirIterator it(dir.path(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            if (!path.endsWith(QLatin1String(".ini")))
                out << QDir(dir.path()).relativeFilePath(path) + QLatin1Char('=') + QString::fromUtf8(readFile(path));
        }
        out.sort();
        return out;
    }
    std::unique_ptr<Updates> client()
    {
        settings = std::make_unique<QSettings>(config, QSettings::IniFormat);
        settings->beginGroup(QStringLiteral("docroot"));
        return std::make_unique<Updates>(settings.get());
    }

    QTemporaryDir dir;
    QString config;
    std::unique_ptr<QSettings> settings;
};

const QStringList untouched = {"www/modules/m1/index.html=old index", "www/modules/m1/old.html=kept"};

QByteArray waitForEnd(const Updates &updates)
{
    QElapsedTimer clock;
    clock.start();
    QByteArray status;
    while ((status = updates.getUpdateStatus()) == inProgress && clock.elapsed() < 15000)
        QTest::qWait(10);
    return status;
}

} // namespace

class TestUpdates : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();

    void relativeDownloadPath_data();
    void relativeDownloadPath();
    void elementTexts_data();
    void elementTexts();

    void check4UpdatesPassesThrough_data();
    void check4UpdatesPassesThrough();
    void check4UpdatesFailures_data();
    void check4UpdatesFailures();
    void check4UpdatesTimesOut();

    void wholeJobOverHttp();
    void startUpdatingRefusals_data();
    void startUpdatingRefusals();
    void startWhileRunningIsRefused();
    void jobEnds_data();
    void jobEnds();

private:
    QString peerUrl(const QString &path = QString()) const
    {
        return QStringLiteral("http://127.0.0.1:%1/").arg(peerPort) + path;
    }
    QString peerFile(const QString &name) const { return peerDir.filePath(name); }

    QTemporaryDir peerDir;
    Child peer;
    int peerPort = 0;
    std::unique_ptr<Site> routerSite;
    QSettings *docroot = nullptr;
    MyHttpRequestHandler *router = nullptr;
    HttpListener *listener = nullptr;
    QSettings *listenerSettings = nullptr;
    quint16 port = 0;
};

void TestUpdates::initTestCase()
{
    QVERIFY(peerDir.isValid());
    const QList<QPair<QString, QByteArray>> files = {
        {"files/modules/m1/index.html", "new index"},
        {"files/modules/m1/style.css", "body{}"},
        {"files/modules/m2/main.js", "main()"},
        {"files/modules/m2/sub/x.html", "<x>"},
        {"files/modules/m2/.secret", "hidden"},
        {"lists/empty.json", "[]"},
        {"lists/object.json", "{\"a\":1}"},
        {"lists/missing.json", "[\"{base}/files/modules/m1/missing.html\"]"},
        {"lists/close.json", "[\"{base}/close/files/modules/m1/index.html\"]"},
        {"lists/nomarker.json", "[\"{base}/files/m1/evil.html\"]"},
        {"lists/dotdot.json", "[\"{base}/files/modules/../../evil.html\"]"},
        {"lists/encoded.json", "[\"{base}/modules/%2e%2E/%2E./evil.html\"]"},
        {"lists/backslash.json", "[\"{base}/modules/..\\\\..\\\\evil.html\"]"},
        {"lists/slash.json", "[\"{base}/modules/..%2F..%2Fevil.html\"]"},
        {"lists/goodthenevil.json", "[\"{base}/files/modules/m1/index.html\",\"{base}/modules/../../evil.html\"]"},
    };
    for (const auto &file : files) {
        QVERIFY(QDir().mkpath(QFileInfo(peerFile(file.first)).absolutePath()));
        QVERIFY(writeFile(peerFile(file.first), file.second));
    }
    // A NUL byte ends a file list.
    QVERIFY(writeFile(peerFile("lists/one.json"), QByteArray("[\"{base}/files/modules/m1/style.css\"]") + '\0' + "[\"junk\""));
    QVERIFY(peer.start(QStringLiteral("/usr/bin/python3"),
                       {QStringLiteral(BRIO_SOURCE_DIR "/tests/support/peers/update_server.py"), peerDir.path()},
                       "port "));
    peerPort = peer.number(QStringLiteral("port (\\d+)"));
    QVERIFY(peerPort > 0);

    // The router's client waits half a second for each list, so that a job
    // is seen running from outside.
    routerSite = std::make_unique<Site>(peerUrl(QStringLiteral("slow")));
    docroot = new QSettings(routerSite->config, QSettings::IniFormat, this);
    docroot->beginGroup(QStringLiteral("docroot"));
    router = new MyHttpRequestHandler(nullptr, docroot, this);
    QCOMPARE(docroot->group(), QStringLiteral("updates"));
    QVERIFY(writeFile(routerSite->dir.filePath("listener.ini"), "[listener]\nhost=127.0.0.1\nport=0\nminThreads=2\n"));
    listenerSettings = new QSettings(routerSite->dir.filePath("listener.ini"), QSettings::IniFormat, this);
    listenerSettings->beginGroup(QStringLiteral("listener"));
    listener = new HttpListener(listenerSettings, router, this);
    QVERIFY(listener->isListening());
    port = listener->serverPort();
}

void TestUpdates::cleanupTestCase()
{
    delete listener;
    listener = nullptr;
    peer.stop();
}

void TestUpdates::relativeDownloadPath_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("path");
    QTest::newRow("module file") << "http://h/x/modules/meter/index.html" << "/modules/meter/index.html";
    QTest::newRow("first marker") << "http://h/modules/a/modules/b.js" << "/modules/a/modules/b.js";
    QTest::newRow("host is a marker") << "http://modules/a.js" << "/modules/a.js";
    QTest::newRow("root") << "http://h/root/index.html" << "/root/index.html";
    QTest::newRow("install") << "http://h/p/install/s.exe" << "/install/s.exe";
    QTest::newRow("empty pieces kept") << "http://h/modules//a.js" << "/modules//a.js";
    QTest::newRow("before the marker ignored") << "http://h/../modules/a.js" << "/modules/a.js";
    QTest::newRow("no marker") << "http://h/files/a.js" << "";
    QTest::newRow("marker case") << "http://h/Modules/a.js" << "";
    QTest::newRow("marker inside a piece") << "http://h/modulesx/a.js" << "";
    QTest::newRow("parent") << "http://h/modules/../a.js" << "";
    QTest::newRow("encoded parent") << "http://h/modules/%2E%2e/a.js" << "";
    QTest::newRow("half encoded parent") << "http://h/modules/.%2E/a.js" << "";
    QTest::newRow("self") << "http://h/modules/./a.js" << "";
    QTest::newRow("backslash") << "http://h/modules/..\\a.js" << "";
    QTest::newRow("encoded slash") << "http://h/modules/..%2Fa.js" << "";
    QTest::newRow("empty") << "" << "";
}

void TestUpdates::relativeDownloadPath()
{
    QFETCH(QString, url);
    QFETCH(QString, path);
    QCOMPARE(updatejson::relativeDownloadPath(url), path);
}

void TestUpdates::elementTexts_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<bool>("isArray");
    QTest::addColumn<QStringList>("texts");
    QTest::newRow("strings") << QByteArray("[\"a\",\"\",\"b c\"]") << true << QStringList{"a", "", "b c"};
    QTest::newRow("integers") << QByteArray("[1,-1,0,-0,2147483648,9223372036854775808]") << true
                              << QStringList{"1", "-1", "0", "0", "2147483648", "9223372036854776000"};
    QTest::newRow("2^64") << QByteArray("[18446744073709551616]") << true << QStringList{"18446744073709552000"};
    QTest::newRow("fractions") << QByteArray("[1.0,1.5,0.1,0.000001,1e-7,-2.5e-8]") << true
                               << QStringList{"1", "1.5", "0.1", "0.000001", "1e-7", "-2.5e-8"};
    QTest::newRow("large") << QByteArray("[1e20,1e21,1.5e300]") << true
                           << QStringList{"100000000000000000000", "1e+21", "1.5e+300"};
    QTest::newRow("other values") << QByteArray("[true,false,null,[1,[2,null],\"x\"],{\"a\":1}]") << true
                                  << QStringList{"true", "false", "null", "1,2,,x", "[object Object]"};
    QTest::newRow("empty array") << QByteArray("[]") << true << QStringList();
    QTest::newRow("object") << QByteArray("{\"a\":1}") << false << QStringList();
    QTest::newRow("plain name") << QByteArray("m1") << false << QStringList();
    QTest::newRow("string") << QByteArray("\"m1\"") << false << QStringList();
    QTest::newRow("cut short") << QByteArray("[\"m1\",") << false << QStringList();
    QTest::newRow("trailing text") << QByteArray("[1] 2") << false << QStringList();
    QTest::newRow("nothing") << QByteArray() << false << QStringList();
}

void TestUpdates::elementTexts()
{
    QFETCH(QByteArray, json);
    QFETCH(bool, isArray);
    QFETCH(QStringList, texts);
    bool array = !isArray;
    QCOMPARE(updatejson::textArray(json, &array), texts);
    QCOMPARE(array, isArray);
    // The modules list arrives encoded once more; a file list ends at NUL
    // and is Latin-1.
    QCOMPARE(updatejson::modulesList(json.toPercentEncoding(), &array), texts);
    QCOMPARE(updatejson::fileList(json + QByteArray("\0]", 2), &array), texts);
    QCOMPARE(updatejson::fileList("[\"\xE9\"]", &array), QStringList{QString::fromUtf8("\xC3\xA9")});
    QCOMPARE(updatejson::modulesList("[\"%C3%A9\"]", &array), QStringList{QString::fromUtf8("\xC3\xA9")});
}

void TestUpdates::check4UpdatesPassesThrough_data()
{
    QTest::addColumn<QByteArray>("query");
    QTest::addColumn<QByteArray>("posted");
    QTest::addColumn<QByteArray>("answer");
    QTest::newRow("decoded once") << QByteArray("json=%7B%22a%22%3A1%7D") << QByteArray("json={\"a\":1}")
                                  << QByteArray("{\"m1\":\"1.2\"}");
    QTest::newRow("empty value, empty answer") << QByteArray("json=") << QByteArray("json=") << QByteArray();
    QTest::newRow("not encoded again") << QByteArray("json=a+b%26c%3D%25") << QByteArray("json=a b&c=%")
                                       << QByteArray("not json <>");
    QTest::newRow("binary answer") << QByteArray("json=x") << QByteArray("json=x")
                                   << QByteArray("\0\xff\r\n{\"", 6);
}

void TestUpdates::check4UpdatesPassesThrough()
{
    QFETCH(QByteArray, query);
    QFETCH(QByteArray, posted);
    QFETCH(QByteArray, answer);
    QVERIFY(writeFile(peerFile("answer.bin"), answer));
    const HttpReply reply = testclient::get(port, "/ajax.html?func=check4Updates&" + query);
    QVERIFY(reply.complete);
    QCOMPARE(reply.body, answer);
    QCOMPARE(readFile(peerFile("posted.bin")), posted);
    QCOMPARE(readFile(peerFile("posted-type.txt")), QByteArray("application/x-www-form-urlencoded"));
}

void TestUpdates::check4UpdatesFailures_data()
{
    QTest::addColumn<QString>("server");
    QTest::addColumn<bool>("withJson");
    QTest::addColumn<QByteArray>("reply");
    QTest::newRow("no json") << "" << false << parameterError;
    QTest::newRow("error status") << "status/500/" << true << unreachable;
    QTest::newRow("redirect") << "status/302/" << true << unreachable;
    QTest::newRow("refused") << "refused" << true << unreachable;
    QTest::newRow("default server") << "." << true << unreachable;
}

void TestUpdates::check4UpdatesFailures()
{
    QFETCH(QString, server);
    QFETCH(bool, withJson);
    QFETCH(QByteArray, reply);
    QFile::remove(peerFile("requests.log"));
    const QString url = server == QLatin1String("refused") ? QStringLiteral("http://127.0.0.1:%1/").arg(freePort())
                        : server == QLatin1String(".") ? server : peerUrl(server);
    Site site(url);
    t_GetArray parameters;
    if (withJson)
        parameters.insert("json", "{}");
    QCOMPARE(site.client()->check4Updates(parameters), reply);
    if (!withJson)
        QVERIFY(!QFile::exists(peerFile("requests.log")));
}

void TestUpdates::check4UpdatesTimesOut()
{
    Site site(peerUrl(QStringLiteral("stall/")));
    t_GetArray parameters{{"json", "{}"}};
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(site.client()->check4Updates(parameters), unreachable);
    QVERIFY2(clock.elapsed() >= Updates::checkTimeout - 100, QByteArray::number(clock.elapsed()));
}

void TestUpdates::wholeJobOverHttp()
{
    Site &site = *routerSite;
    const QByteArray before = testclient::get(port, "/ajax.html?func=getListOfInstalledModules").body;
    QVERIFY(before == "{\"m1\":{\"html\":[\"index.html\",\"old.html\"],\"css\":[],\"js\":[]}}"
            || before == "{\"m1\":{\"html\":[\"old.html\",\"index.html\"],\"css\":[],\"js\":[]}}");
    QCOMPARE(testclient::get(port, "/ajax.html?func=getUpdateStatus").body, QByteArray("{}"));

    QCOMPARE(testclient::get(port, "/ajax.html?func=startUpdating&modulesList=%5B%22m1%22%2C%22m2%22%5D").body,
             started);
    // Polled on connections of their own while the job runs.
    QList<QByteArray> seen;
    QElapsedTimer clock;
    clock.start();
    while ((seen.isEmpty() || seen.last() == inProgress) && clock.elapsed() < 15000)
        seen << testclient::get(port, "/ajax.html?func=getUpdateStatus").body;
    QCOMPARE(seen.first(), inProgress);
    QCOMPARE(seen.last(), completed);
    for (const QByteArray &status : seen)
        QVERIFY2(status == inProgress || status == completed, status.constData());

    QCOMPARE(site.files(), QStringList({"www/modules/m1/index.html=new index", "www/modules/m1/old.html=kept",
                                        "www/modules/m1/style.css=body{}", "www/modules/m2/main.js=main()",
                                        "www/modules/m2/sub/x.html=<x>"}));
    QVERIFY(!QFileInfo::exists(site.tmp()));
    const QJsonObject listed = QJsonDocument::fromJson(
        testclient::get(port, "/ajax.html?func=getListOfInstalledModules").body).object();
    QCOMPARE(listed.keys(), QStringList({"m1", "m2"}));
    QCOMPARE(listed.value("m1").toObject().value("css").toArray(), QJsonArray({"style.css"}));
    QCOMPARE(listed.value("m2").toObject().value("js").toArray(), QJsonArray({"main.js"}));
}

void TestUpdates::startUpdatingRefusals_data()
{
    QTest::addColumn<bool>("given");
    QTest::addColumn<QByteArray>("modulesList");
    QTest::newRow("missing") << false << QByteArray();
    QTest::newRow("empty") << true << QByteArray();
    QTest::newRow("empty array") << true << QByteArray("[]");
    QTest::newRow("plain name") << true << QByteArray("m1");
    QTest::newRow("object") << true << QByteArray("{\"m1\":1}");
}

void TestUpdates::startUpdatingRefusals()
{
    QFETCH(bool, given);
    QFETCH(QByteArray, modulesList);
    Site site(peerUrl());
    QVERIFY(QDir().mkpath(site.tmp()));
    t_GetArray parameters;
    if (given)
        parameters.insert("modulesList", modulesList);
    auto updates = site.client();
    QCOMPARE(updates->startUpdating(parameters), parameterError);
    QCOMPARE(updates->getUpdateStatus(), QByteArray("{}"));
    QVERIFY(QFileInfo(site.tmp()).isDir());
}

void TestUpdates::startWhileRunningIsRefused()
{
    Site site(peerUrl(QStringLiteral("slow/")));
    auto updates = site.client();
    t_GetArray first{{"modulesList", "[\"m1\"]"}};
    t_GetArray second{{"modulesList", "[\"m2\"]"}};
    QCOMPARE(updates->startUpdating(first), started);
    QCOMPARE(updates->getUpdateStatus(), inProgress);
    QCOMPARE(updates->startUpdating(second), QByteArray("{\"error\":\"Update in progress\"}"));
    QCOMPARE(waitForEnd(*updates), completed);
    QCOMPARE(site.files(), QStringList({"www/modules/m1/index.html=new index", "www/modules/m1/old.html=kept",
                                        "www/modules/m1/style.css=body{}"}));
    // Once it has ended, the next job is taken.
    QCOMPARE(updates->startUpdating(second), started);
    QCOMPARE(waitForEnd(*updates), completed);
}

void TestUpdates::jobEnds_data()
{
    QTest::addColumn<QString>("server");
    QTest::addColumn<QByteArray>("modules");
    QTest::addColumn<QByteArray>("status");
    QTest::addColumn<QStringList>("files");

    const QStringList withStyle = untouched + QStringList{"www/modules/m1/style.css=body{}"};
    QTest::newRow("list error status") << "status/404/" << QByteArray("[\"m1\"]")
                                       << QByteArray("{\"error\":\"Reply error!\",\"errorNo\":203}") << untouched;
    QTest::newRow("list refused") << "refused" << QByteArray("[\"m1\"]")
                                  << QByteArray("{\"error\":\"Reply error!\",\"errorNo\":1}") << untouched;
    QTest::newRow("list stalls") << "stall/" << QByteArray("[\"m1\"]")
                                 << QByteArray("{\"error\":\"Reply error!\",\"errorNo\":5}") << untouched;
    QTest::newRow("nothing saved") << "" << QByteArray("[\"empty\",\"empty\"]") << diskError << untouched;
    QTest::newRow("list not an array, job goes on") << "" << QByteArray("[\"object\",\"one\"]") << completed
                                                    << withStyle;
    QTest::newRow("list ends at NUL") << "" << QByteArray("[\"one\"]") << completed << withStyle;
    QTest::newRow("missing file") << "" << QByteArray("[\"one\",\"missing\"]") << replyError
                                  << untouched + QStringList{"tmp/modules/m1/style.css=body{}"};
    QTest::newRow("closed mid-body") << "" << QByteArray("[\"close\"]") << replyError << untouched;
    QTest::newRow("download directory is a file") << "tmpfile" << QByteArray("[\"one\"]") << diskError
                                                   << untouched + QStringList{"tmp=x"};
    // Hostile lists: nothing lands outside the download directory, and
    // nothing of the job is installed.
    for (const char *list : {"nomarker", "dotdot", "encoded", "backslash", "slash"})
        QTest::newRow(list) << "" << "[\"" + QByteArray(list) + "\"]" << replyError << untouched;
    QTest::newRow("good then hostile") << "" << QByteArray("[\"goodthenevil\"]") << replyError
                                       << untouched + QStringList{"tmp/modules/m1/index.html=new index"};
}

void TestUpdates::jobEnds()
{
    QFETCH(QString, server);
    QFETCH(QByteArray, modules);
    QFETCH(QByteArray, status);
    QFETCH(QStringList, files);
    const QString url = server == QLatin1String("refused") ? QStringLiteral("http://127.0.0.1:%1").arg(freePort())
                        : server == QLatin1String("tmpfile") ? peerUrl() : peerUrl(server);
    Site site(url, 500);
    if (server == QLatin1String("tmpfile"))
        QVERIFY(writeFile(site.tmp(), "x"));
    auto updates = site.client();
    t_GetArray parameters{{"modulesList", modules}};
    QCOMPARE(updates->startUpdating(parameters), started);
    // A skipped module clears the flag while the job goes on, so the final
    // text is waited for rather than the end of "In progress".
    QTRY_COMPARE_WITH_TIMEOUT(updates->getUpdateStatus(), status, 15000);
    files.sort();
    QCOMPARE(site.files(), files);
    // No job runs any more: the next one is taken.
    t_GetArray next{{"modulesList", "[\"empty\"]"}};
    QCOMPARE(updates->startUpdating(next), started);
    waitForEnd(*updates);
}

QTEST_MAIN(TestUpdates)
#include "tst_updates.moc"
