#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

#include "apptestsupport.h"
#include "modulesmngr.h"

class TestModulesMngr : public QObject
{
    Q_OBJECT
private slots:
    void listing_data();
    void listing();
};

// clang-format off
void TestModulesMngr::listing_data()
{
    // Entries below the document root, "|"-separated: a trailing "/" makes a
    // directory. One name per list, so the file-system order cannot matter.
    QTest::addColumn<QString>("entries");
    QTest::addColumn<QByteArray>("expected");
    const QByteArray none = "{\"modules\":{}}";
    QTest::newRow("no document root") << "" << none;
    QTest::newRow("no modules directory") << "www/other/" << none;
    QTest::newRow("modules is a file") << "www/modules" << none;
    QTest::newRow("empty modules") << "www/modules/" << QByteArray("{}");
    QTest::newRow("nothing to list") << "www/modules/m/readme.txt"
                                     << QByteArray("{\"m\":{\"html\":[],\"css\":[],\"js\":[]}}");
    QTest::newRow("extensions") << "www/modules/m/page.HTML|www/modules/m/script.json|www/modules/m/archive.html.bak|"
                                   "www/modules/m/Style.Css|www/modules/m/dir.js/|www/modules/m/html"
                                << QByteArray("{\"m\":{\"html\":[\"page.HTML\"],\"css\":[\"Style.Css\"],\"js\":[]}}");
    QTest::newRow("not modules, not searched")
            << "www/modules/plain.html|www/modules/.hidden/|www/modules/m/.x.html|www/modules/m/sub/deep.html|www/modules/m/a.js"
            << QByteArray("{\"m\":{\"html\":[],\"css\":[],\"js\":[\"a.js\"]}}");
    // Quotes, backslashes and control characters must not break the JSON;
    // every other byte stays as the disk has it.
    QTest::newRow("escaped names") << "www/modules/a\"b\\c/q\"1.html|www/modules/a\"b\\c/x\ty\x01.js"
            << QByteArray("{\"a\\\"b\\\\c\":{\"html\":[\"q\\\"1.html\"],\"css\":[],\"js\":[\"x\\ty\\u0001.js\"]}}");
    QTest::newRow("utf-8 names")
            << QString::fromUtf8("www/modules/\xC5\xBC\xC3\xB3\xC5\x82w/\xC3\xA4 b.css")
            << QByteArray("{\"\xC5\xBC\xC3\xB3\xC5\x82w\":{\"html\":[],\"css\":[\"\xC3\xA4 b.css\"],\"js\":[]}}");
}
// clang-format on

void TestModulesMngr::listing()
{
    QFETCH(QString, entries);
    QFETCH(QByteArray, expected);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    for (const QString &entry : entries.split(QLatin1Char('|'), Qt::SkipEmptyParts)) {
        QVERIFY(QDir().mkpath(QFileInfo(dir.filePath(entry)).absolutePath()));
        QVERIFY(entry.endsWith(QLatin1Char('/')) || writeFile(dir.filePath(entry), "x"));
    }
    const QString root = dir.filePath(QStringLiteral("www"));
    QCOMPARE(ModulesMngr(root).getListOfInstalledModules(), expected);
}

QTEST_MAIN(TestModulesMngr)
#include "tst_modulesmngr.moc"
