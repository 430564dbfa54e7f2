#include <QCoreApplication>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

#include "apptestsupport.h"
#include "modulesmngr.h"

namespace {

// Arrays sorted, so that listings in file-system order compare as sets.
QJsonValue normalized(const QJsonValue &value)
{
    if (value.isObject()) {
        QJsonObject out;
        const QJsonObject in = value.toObject();
        for (auto it = in.begin(); it != in.end(); ++it)
            out.insert(it.key(), normalized(it.value()));
        return out;
    }
    if (value.isArray()) {
        QStringList texts;
        for (const QJsonValue &element : value.toArray())
            texts << element.toString();
        texts.sort();
        return QJsonArray::fromStringList(texts);
    }
    return value;
}

} // namespace

class TestModulesMngr : public QObject
{
    Q_OBJECT
private slots:
    void listing_data();
    void listing();
};

void TestModulesMngr::listing_data()
{
    // entries: "d:" a directory, "f:" a file, below the document root.
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<bool>("absolute");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<bool>("exact"); // one name per list: the bytes are fixed

    const QByteArray none = "{\"modules\":{}}";
    const QByteArray empty = "{\"html\":[],\"css\":[],\"js\":[]}";
    QTest::newRow("no document root") << QStringList{"-"} << false << none << true;
    QTest::newRow("no modules directory") << QStringList{"d:other"} << false << none << true;
    QTest::newRow("modules is a file") << QStringList{"f:modules"} << true << none << true;
    QTest::newRow("empty modules") << QStringList{"d:modules"} << true << QByteArray("{}") << true;
    QTest::newRow("nothing to list") << QStringList{"f:modules/m/readme.txt"} << false
                                     << "{\"m\":" + empty + "}" << true;
    QTest::newRow("extensions") << QStringList{"f:modules/m/page.HTML", "f:modules/m/script.json",
                                               "f:modules/m/archive.html.bak", "f:modules/m/Style.Css",
                                               "d:modules/m/dir.js", "f:modules/m/html"}
                                << false << QByteArray("{\"m\":{\"html\":[\"page.HTML\"],\"css\":[\"Style.Css\"],\"js\":[]}}")
                                << true;
    QTest::newRow("not modules, not searched")
        << QStringList{"f:modules/plain.html", "d:modules/.hidden", "f:modules/m/.x.html",
                       "f:modules/m/sub/deep.html", "f:modules/m/a.js"}
        << false << QByteArray("{\"m\":{\"html\":[],\"css\":[],\"js\":[\"a.js\"]}}") << true;
    QTest::newRow("two modules")
        << QStringList{"f:modules/m1/index.html", "f:modules/m1/style.css", "f:modules/m1/readme.txt",
                       "f:modules/m2/main.js", "f:modules/m2/extra.JS"}
        << false
        << QByteArray("{\"m1\":{\"html\":[\"index.html\"],\"css\":[\"style.css\"],\"js\":[]},"
                      "\"m2\":{\"html\":[],\"css\":[],\"js\":[\"main.js\",\"extra.JS\"]}}")
        << false;
    // Names come from the disk; quotes, backslashes and control characters
    // must not break the page's JSON. Other bytes stay as they are.
    QTest::newRow("escaped names")
        << QStringList{"f:modules/a\"b\\c/q\"1.html", "f:modules/a\"b\\c/x\ty\x01.js"}
        << false << QByteArray("{\"a\\\"b\\\\c\":{\"html\":[\"q\\\"1.html\"],\"css\":[],\"js\":[\"x\\ty\\u0001.js\"]}}")
        << true;
    QTest::newRow("utf-8 names") << QStringList{QString::fromUtf8("f:modules/\xC5\xBC\xC3\xB3\xC5\x82w/\xC3\xA4 b.css")}
                                 << false
                                 << QByteArray("{\"\xC5\xBC\xC3\xB3\xC5\x82w\":{\"html\":[],\"css\":[\"\xC3\xA4 b.css\"],\"js\":[]}}")
                                 << true;
}

void TestModulesMngr::listing()
{
    QFETCH(QStringList, entries);
    QFETCH(bool, absolute);
    QFETCH(QByteArray, expected);
    QFETCH(bool, exact);

    // Inside the executable's directory, where a relative root is taken from.
    QTemporaryDir dir(QCoreApplication::applicationDirPath() + QStringLiteral("/docroot-XXXXXX"));
    QVERIFY(dir.isValid());
    const QString root = dir.filePath(QStringLiteral("www"));
    for (const QString &entry : entries) {
        if (entry == QLatin1String("-"))
            continue;
        const QString path = root + QLatin1Char('/') + entry.mid(2);
        if (entry.startsWith(QLatin1String("d:"))) {
            QVERIFY(QDir().mkpath(path));
        } else {
            QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
            QVERIFY(writeFile(path, "x"));
        }
    }
    const QString given = absolute ? root : QDir(QCoreApplication::applicationDirPath()).relativeFilePath(root);
    const ModulesMngr modules(given);
    const QByteArray listing = modules.getListOfInstalledModules();
    if (exact)
        QCOMPARE(listing, expected);
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(listing, &error);
    QCOMPARE(error.error, QJsonParseError::NoError);
    QCOMPARE(normalized(doc.object()), normalized(QJsonDocument::fromJson(expected).object()));
}

QTEST_MAIN(TestModulesMngr)
#include "tst_modulesmngr.moc"
