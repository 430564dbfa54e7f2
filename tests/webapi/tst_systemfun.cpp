#include <QCoreApplication>
#include <QSettings>
#include <QtTest>

#include "systemfun.h"
#include "apptestsupport.h"

class TestSystemFun : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void generalInfoIsExact();
    void updaterArgumentsFromValues_data();
    void updaterArgumentsFromValues();
    void updaterArgumentsFromStore_data();
    void updaterArgumentsFromStore();
    void pdfFromHtml_data();
    void pdfFromHtml();
};

void TestSystemFun::initTestCase()
{
    QCoreApplication::setOrganizationName(QStringLiteral("Tavik"));
    QCoreApplication::setApplicationName(QStringLiteral("Brio"));
}

void TestSystemFun::generalInfoIsExact()
{
    const SystemFun fun;
    QCOMPARE(fun.getGeneralInfo(), generalInfoReply);

    // The page parses it as JSON, so it must stay valid JSON.
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(fun.getGeneralInfo(), &error);
    QCOMPARE(error.error, QJsonParseError::NoError);
    QCOMPARE(doc.object().value(QStringLiteral("copy")).toString().count(QLatin1Char('"')), 4);
}

void TestSystemFun::updaterArgumentsFromValues_data()
{
    QTest::addColumn<int>("port");
    QTest::addColumn<int>("baud");
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("slave");
    QTest::addColumn<int>("tavikId");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("COM3 9600 8E1") << 3 << 3 << 1 << 1 << 74 << QStringList{"2", "2", "4", "1", "74"};
    QTest::newRow("nothing stored") << 0 << 0 << 0 << 0 << 0 << QStringList{"-1", "2", "3", "0", "0"};
    QTest::newRow("1200 has no code") << 1 << 0 << 0 << 5 << 0 << QStringList{"0", "2", "3", "5", "0"};
    QTest::newRow("2400") << 1 << 1 << 0 << 1 << 0 << QStringList{"0", "0", "3", "1", "0"};
    QTest::newRow("4800") << 1 << 2 << 0 << 1 << 0 << QStringList{"0", "1", "3", "1", "0"};
    QTest::newRow("19200") << 1 << 4 << 0 << 1 << 0 << QStringList{"0", "4", "3", "1", "0"};
    QTest::newRow("38400") << 1 << 5 << 0 << 1 << 0 << QStringList{"0", "6", "3", "1", "0"};
    QTest::newRow("57600") << 1 << 6 << 0 << 1 << 0 << QStringList{"0", "7", "3", "1", "0"};
    QTest::newRow("115200") << 1 << 7 << 0 << 1 << 0 << QStringList{"0", "9", "3", "1", "0"};
    QTest::newRow("230400") << 1 << 8 << 0 << 1 << 0 << QStringList{"0", "2", "3", "1", "0"};
    QTest::newRow("256000") << 1 << 9 << 0 << 1 << 0 << QStringList{"0", "2", "3", "1", "0"};
    QTest::newRow("1000000") << 1 << 10 << 0 << 1 << 0 << QStringList{"0", "2", "3", "1", "0"};
    QTest::newRow("index past table") << 1 << 11 << 0 << 1 << 0 << QStringList{"0", "2", "3", "1", "0"};
    QTest::newRow("negative index") << 1 << -1 << 0 << 1 << 0 << QStringList{"0", "2", "3", "1", "0"};
    QTest::newRow("mode 3") << 1 << 3 << 3 << 1 << 0 << QStringList{"0", "2", "6", "1", "0"};
    QTest::newRow("16-bit wrap") << 32768 << 3 << 32765 << 65535 << 70000
                                 << QStringList{"32767", "2", "-32768", "-1", "70000"};
}

void TestSystemFun::updaterArgumentsFromValues()
{
    QFETCH(int, port);
    QFETCH(int, baud);
    QFETCH(int, mode);
    QFETCH(int, slave);
    QFETCH(int, tavikId);
    QFETCH(QStringList, expected);
    const SystemFun fun;
    QCOMPARE(fun.firmwareUpdaterArguments(port, baud, mode, slave, tavikId), expected);
}

void TestSystemFun::updaterArgumentsFromStore_data()
{
    QTest::addColumn<QVariantMap>("stored");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("empty store") << QVariantMap() << QStringList{"-1", "2", "3", "0", "0"};
    QTest::newRow("as the engine writes them")
            << QVariantMap{{"Selected_Port", "3"}, {"baudRate", 3}, {"mode", 1}, {"slaveID", 1}, {"Tavik_ID", "74"}}
            << QStringList{"2", "2", "4", "1", "74"};
    QTest::newRow("not numeric reads as 0") << QVariantMap{{"Selected_Port", "USB0"},
                                                           {"baudRate", "fast"},
                                                           {"mode", "x"},
                                                           {"slaveID", ""},
                                                           {"Tavik_ID", "id"}}
                                            << QStringList{"-1", "2", "3", "0", "0"};
    QTest::newRow("115200 8O1") << QVariantMap{{"Selected_Port", "12"}, {"baudRate", 7}, {"mode", 2}, {"slaveID", 247}}
                                << QStringList{"11", "9", "5", "247", "0"};
}

void TestSystemFun::updaterArgumentsFromStore()
{
    QFETCH(QVariantMap, stored);
    QFETCH(QStringList, expected);
    {
        QSettings settings;
        settings.clear();
        for (auto it = stored.constBegin(); it != stored.constEnd(); ++it)
            settings.setValue(it.key(), it.value());
    }
    const SystemFun fun;
    QCOMPARE(fun.firmwareUpdaterArguments(), expected);
    QSettings().clear();
}

void TestSystemFun::pdfFromHtml_data()
{
    QTest::addColumn<QString>("html");
    QTest::addColumn<int>("pages");
    QTest::newRow("minimal page") << "<html><body><p>Register report</p></body></html>" << 1;
    QTest::newRow("empty text") << "" << 1;
    QTest::newRow("not really html") << "<table><tr><td>1<td>2</table" << 1;
    QString longText;
    for (int i = 0; i < 200; ++i)
        longText += QStringLiteral("<p>Line %1</p>").arg(i);
    QTest::newRow("several pages") << longText << 3;
}

void TestSystemFun::pdfFromHtml()
{
    QFETCH(QString, html);
    QFETCH(int, pages);
    const SystemFun fun;
    const QByteArray pdf = fun.createAndRetPdf(html);
    QVERIFY(pdf.startsWith("%PDF-"));
    QVERIFY(pdf.trimmed().endsWith("%%EOF"));
    // A4 in points, the same box on every page.
    const QByteArray a4 = "/MediaBox [0 0 595.000000 842.000000]";
    QCOMPARE(pdf.count(a4), pdf.count("/Type /Page\n"));
    QVERIFY(pdf.count(a4) >= pages);
}

QTEST_MAIN(TestSystemFun)
#include "tst_systemfun.moc"
