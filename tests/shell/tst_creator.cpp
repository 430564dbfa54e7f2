#include <QDesktopServices>
#include <QDirIterator>
#include <QProcess>
#include <QSettings>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#include "creator.h"
#include "httplistener.h"
#include "apptestsupport.h"
#include "routerclient.h"

namespace {

const QByteArray listeningLine = "HttpListener: Listening on port";
const QByteArray browserLine = "openUrl() for 'http://127.0.0.1:";

} // namespace

class TestCreator : public QObject
{
    Q_OBJECT
public slots:
    void captureUrl(const QUrl &url) { openedUrls << url; }

private slots:
    void initTestCase();
    void init();

    // in this process
    void quitReleasesPortAndEndsLoopWithZero();
    void startShowsBrowserUnlessRestarted_data();
    void startShowsBrowserUnlessRestarted();
    void bindFailureKeepsRunning();
    void failedHandOverKeepsServing_data();
    void failedHandOverKeepsServing();

    // as a separate program
    void missingConfigIsFatal();
    void restartFlag_data();
    void restartFlag();
    void handOverEndsWith12_data();
    void handOverEndsWith12();
    void unstartableAdminCopyKeepsServing();
    void languageFromLocale_data();
    void languageFromLocale();

private:
    std::unique_ptr<QTemporaryDir> dir;
    QString configPath;
    QList<QUrl> openedUrls;
};

void TestCreator::initTestCase()
{
    QCoreApplication::setOrganizationName(QStringLiteral("Tavik"));
    QCoreApplication::setApplicationName(QStringLiteral("Brio"));
    QDesktopServices::setUrlHandler(QStringLiteral("http"), this, "captureUrl");
    // The hand-over tests below rely on these programs not being here.
    QVERIFY(!QFile::exists(QCoreApplication::applicationDirPath() + QStringLiteral("/Brio_admin.exe")));
    QVERIFY(!QFile::exists(QCoreApplication::applicationDirPath() + QStringLiteral("/www/root/Brio_setup.exe")));
}

void TestCreator::init()
{
    dir.reset(new QTemporaryDir);
    QVERIFY(dir->isValid());
    QVERIFY(QDir(dir->path()).mkpath(QStringLiteral("www")));
    configPath = dir->filePath(QStringLiteral("config.ini"));
    openedUrls.clear();
}

void TestCreator::quitReleasesPortAndEndsLoopWithZero()
{
    const quint16 port = freePort();
    QVERIFY(writeFile(configPath,
                      "[listener]\nhost=127.0.0.1\nport=" + QByteArray::number(port)
                              + "\n[docroot]\npath=www\n[other]\nprefLang=en\n"));
    Creator creator(configPath, true);
    QVERIFY(creator.httpListener());
    QVERIFY(creator.httpListener()->isListening());
    QVERIFY(!portIsFree(port));

    QTimer::singleShot(0, &creator, &Creator::slotExitApp);
    QCOMPARE(QCoreApplication::exec(), 0);
    QVERIFY(!creator.httpListener());
    QVERIFY(portIsFree(port));
}

void TestCreator::startShowsBrowserUnlessRestarted_data()
{
    QTest::addColumn<QByteArray>("listener");
    QTest::addColumn<bool>("restarted");
    QTest::addColumn<QList<QUrl>>("opened");
    QTest::newRow("explicit port 0") << QByteArray("host=127.0.0.1\nport=0\n") << false
                                     << QList<QUrl>{QUrl("http://127.0.0.1:0")};
    QTest::newRow("restarted") << QByteArray("host=127.0.0.1\nport=0\n") << true << QList<QUrl>();
    QTest::newRow("no keys") << QByteArray() << false << QList<QUrl>{QUrl("http://127.0.0.1:80")};
}

void TestCreator::startShowsBrowserUnlessRestarted()
{
    QFETCH(QByteArray, listener);
    QFETCH(bool, restarted);
    QFETCH(QList<QUrl>, opened);
    QVERIFY(writeFile(configPath, "[listener]\n" + listener + "[docroot]\npath=www\n"));
    Creator creator(configPath, restarted);
    QVERIFY(creator.httpListener()->isListening());
    // Without a port key the system picks one, while the tray keeps saying 80.
    QVERIFY(creator.httpListener()->serverPort() != 0);
    QCOMPARE(openedUrls, opened);

    const HttpReply reply = testclient::get(creator.httpListener()->serverPort(), "/ajax.html?func=getGeneralInfo");
    QVERIFY(reply.complete);
    QCOMPARE(reply.body, generalInfoReply);
}

void TestCreator::bindFailureKeepsRunning()
{
    QTcpServer occupier;
    QVERIFY(occupier.listen(QHostAddress::LocalHost, 0));
    QVERIFY(writeFile(configPath,
                      "[listener]\nhost=127.0.0.1\nport=" + QByteArray::number(occupier.serverPort())
                              + "\n[docroot]\npath=www\n"));
    QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("^HttpListener: Cannot bind on port"));
    Creator creator(configPath, false);
    QVERIFY(creator.httpListener());
    QVERIFY(!creator.httpListener()->isListening());
    QVERIFY(creator.trayMenu());
    QVERIFY(openedUrls.isEmpty());
}

void TestCreator::failedHandOverKeepsServing_data()
{
    QTest::addColumn<bool>("installer");
    QTest::newRow("administrator copy") << false;
    QTest::newRow("installer") << true;
}

void TestCreator::failedHandOverKeepsServing()
{
    QFETCH(bool, installer);
    const quint16 port = freePort();
    QVERIFY(writeFile(configPath,
                      "[listener]\nhost=127.0.0.1\nport=" + QByteArray::number(port)
                              + "\n[docroot]\npath=www\n[other]\nprefLang=en\n"));
    Creator creator(configPath, true);
    const HttpListener *before = creator.httpListener();
    QVERIFY(before);

    QTest::ignoreMessage(QtWarningMsg,
                         QRegularExpression("^Creator: cannot start .*Brio_(admin|setup)\\.exe, serving on$"));
    if (installer)
        creator.slotRunAutoUpdate();
    else
        creator.slotRestartAppAsAdmin();

    QVERIFY(creator.httpListener());
    QVERIFY(creator.httpListener()->isListening());
    QCOMPARE(creator.httpListener()->serverPort(), port);
    const HttpReply reply = testclient::get(port, "/ajax.html?func=getGeneralInfo");
    QVERIFY(reply.complete);
    QCOMPARE(reply.body, generalInfoReply);
}

void TestCreator::missingConfigIsFatal()
{
    ProgramRun run;
    QVERIFY(run.ok);
    run.start({});
    QVERIFY(run.finish());
    QCOMPARE(run.process.exitStatus(), QProcess::CrashExit);
    const QByteArray expected = "Cannot find config file " + run.path(QStringLiteral("config.ini")).toLocal8Bit();
    QVERIFY2(run.log.contains(expected), run.log.constData());
    QVERIFY(!run.log.contains("ServiceHelper: Starting service"));
}

void TestCreator::restartFlag_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("browser");
    QTest::newRow("no argument") << QStringList() << true;
    QTest::newRow("-r") << QStringList{"-r"} << false;
    QTest::newRow("-r and more") << QStringList{"-r", "x"} << false;
    QTest::newRow("longer than -r") << QStringList{"-rx"} << true;
    QTest::newRow("-r second") << QStringList{"x", "-r"} << true;
}

void TestCreator::restartFlag()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, browser);
    ProgramRun run;
    QVERIFY(run.ok);
    const quint16 port = freePort();
    QVERIFY(run.writeConfig("[listener]\nhost=127.0.0.1\nport=" + QByteArray::number(port)
                            + "\n[docroot]\npath=www\n[other]\nprefLang=en\n"));
    run.start(arguments);
    QTRY_VERIFY_WITH_TIMEOUT(run.log.contains(listeningLine), 30000);

    const HttpReply reply = testclient::get(port, "/ajax.html?func=getGeneralInfo");
    QVERIFY(reply.complete);
    QCOMPARE(reply.body, generalInfoReply);
    // The offscreen desktop cannot open a browser and says so for each try.
    QCOMPARE(run.log.contains(browserLine + QByteArray::number(port)), browser);
}

void TestCreator::handOverEndsWith12_data()
{
    QTest::addColumn<QByteArray>("func");
    QTest::addColumn<QString>("program");
    QTest::newRow("administrator copy") << QByteArray("runAsAdministrator") << "Brio_admin.exe";
    QTest::newRow("installer") << QByteArray("runAutoUpdate") << "www/root/Brio_setup.exe";
}

void TestCreator::handOverEndsWith12()
{
    QFETCH(QByteArray, func);
    QFETCH(QString, program);
    ProgramRun run;
    QVERIFY(run.ok);
    QVERIFY(QDir().mkpath(run.path(QStringLiteral("www/root"))));
    QVERIFY(writeArgsRecorder(run.path(program)));
    const quint16 port = freePort();
    QVERIFY(run.writeConfig("[listener]\nhost=127.0.0.1\nport=" + QByteArray::number(port)
                            + "\n[docroot]\npath=www\n[other]\nprefLang=en\n"));
    run.start({QStringLiteral("-r")});
    QTRY_VERIFY_WITH_TIMEOUT(run.log.contains(listeningLine), 30000);

    const HttpReply reply = testclient::get(port, "/ajax.html?func=" + func);
    QVERIFY(reply.complete);
    QCOMPARE(reply.status, 200);
    QCOMPARE(reply.body, QByteArray());

    QVERIFY(run.finish());
    QCOMPARE(run.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(run.process.exitCode(), 12);
    QVERIFY(portIsFree(port));
    const QString record = argsRecord(run.path(program));
    QTRY_VERIFY(QFile::exists(record));
    QCOMPARE(readFile(record), QByteArray("-r\n"));
}

void TestCreator::unstartableAdminCopyKeepsServing()
{
    ProgramRun run;
    QVERIFY(run.ok);
    // Present but not executable: the start fails.
    QVERIFY(writeArgsRecorder(run.path(QStringLiteral("Brio_admin.exe")), false));
    const quint16 port = freePort();
    QVERIFY(run.writeConfig("[listener]\nhost=127.0.0.1\nport=" + QByteArray::number(port)
                            + "\n[docroot]\npath=www\n[other]\nprefLang=en\n"));
    run.start({QStringLiteral("-r")});
    QTRY_VERIFY_WITH_TIMEOUT(run.log.contains(listeningLine), 30000);

    const HttpReply reply = testclient::get(port, "/ajax.html?func=runAsAdministrator");
    QVERIFY(reply.complete);
    QCOMPARE(reply.body, QByteArray());
    // The new listener reports after the warning.
    QTRY_COMPARE_WITH_TIMEOUT(run.log.count(listeningLine), 2, 30000);
    QVERIFY(run.log.contains("serving on"));

    const HttpReply again = testclient::get(port, "/ajax.html?func=getGeneralInfo");
    QVERIFY(again.complete);
    QCOMPARE(again.body, generalInfoReply);
    QCOMPARE(run.process.state(), QProcess::Running);
    QVERIFY(!QFile::exists(argsRecord(run.path(QStringLiteral("Brio_admin.exe")))));
}

// clang-format off
void TestCreator::languageFromLocale_data()
{
    QTest::addColumn<QString>("environment");
    QTest::addColumn<QString>("language");
    QTest::newRow("LANG es_ES") << "LANG=es_ES.UTF-8" << "es";
    QTest::newRow("LC_ALL pl_PL") << "LC_ALL=pl_PL.UTF-8" << "pl";
    QTest::newRow("LC_ALL beats LANG") << "LC_ALL=es_ES.UTF-8;LANG=pl_PL.UTF-8" << "es";
    QTest::newRow("German locale") << "LANG=de_DE.UTF-8" << "en";
    QTest::newRow("C locale") << "LANG=C" << "en";
}
// clang-format on

void TestCreator::languageFromLocale()
{
    QFETCH(QString, environment);
    QFETCH(QString, language);
    ProgramRun run;
    QVERIFY(run.ok);
    QVERIFY(run.writeConfig("[listener]\nhost=127.0.0.1\nport=" + QByteArray::number(freePort())
                            + "\n[docroot]\npath=www\n"));
    run.start({QStringLiteral("-r")}, environment.split(QLatin1Char(';')));
    QTRY_VERIFY_WITH_TIMEOUT(run.log.contains(listeningLine), 30000);
    QTRY_COMPARE_WITH_TIMEOUT(QSettings(run.path(QStringLiteral("config.ini")), QSettings::IniFormat)
                                      .value(QStringLiteral("other/prefLang"))
                                      .toString(),
                              language, 30000);
}

QTEST_MAIN(TestCreator)
#include "tst_creator.moc"
