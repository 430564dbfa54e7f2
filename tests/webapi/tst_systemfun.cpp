#include <QCoreApplication>
#include <QImage>
#include <QSettings>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTextDocument>
#include <QtTest>

#include <sys/stat.h>

#include "httpresponse.h"
#include "systemfun.h"
#include "apptestsupport.h"
#include "httptestsupport.h"

namespace {

// A PNG of the given size, as a data: URL.
QByteArray pngDataUrl(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(Qt::red);
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return "data:image/png;base64," + png.toBase64();
}

} // namespace

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
    void pdfResources_data();
    void pdfResources();
    void pdfSizeLimit_data();
    void pdfSizeLimit();
    void ftpAddress_data();
    void ftpAddress();

private:
    QTemporaryDir dir;
};

void TestSystemFun::initTestCase()
{
    QCoreApplication::setOrganizationName(QStringLiteral("Tavik"));
    QCoreApplication::setApplicationName(QStringLiteral("Brio"));
    // A private picture, and a FIFO nobody ever writes to.
    QImage image(40, 40, QImage::Format_RGB32);
    image.fill(Qt::blue);
    QVERIFY(image.save(dir.filePath(QStringLiteral("private.png"))));
    QCOMPARE(::mkfifo(QFile::encodeName(dir.filePath(QStringLiteral("fifo"))).constData(), 0600), 0);
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
    QTest::addColumn<int>("images");
    QTest::newRow("minimal page") << "<html><body><p>Register report</p></body></html>" << 1 << 0;
    QTest::newRow("empty text") << "" << 1 << 0;
    QTest::newRow("not really html") << "<table><tr><td>1<td>2</table" << 1 << 0;
    QString longText;
    for (int i = 0; i < 200; ++i)
        longText += QStringLiteral("<p>Line %1</p>").arg(i);
    QTest::newRow("several pages") << longText << 3 << 0;
    // Only what the page carries itself is drawn.
    QTest::newRow("data: image") << "<img src=\"" + QString::fromLatin1(pngDataUrl(30, 30)) + "\">" << 1 << 1;
    const QString file = dir.filePath(QStringLiteral("private.png"));
    const QString fifo = dir.filePath(QStringLiteral("fifo"));
    QTest::newRow("files on the disk") << "<img src=\"" + file + "\"><img src=\"file://" + file
                    + "\"><link rel=\"stylesheet\" href=\"" + fifo + "\"><img src=\"" + fifo
                    + "\"><p style=\"background-image: url(" + file
                    + ")\">x</p>" << 1 << 0;
}

void TestSystemFun::pdfFromHtml()
{
    QFETCH(QString, html);
    QFETCH(int, pages);
    QFETCH(int, images);
    const SystemFun fun;
    const QByteArray pdf = fun.createAndRetPdf(html);
    QVERIFY(pdf.startsWith("%PDF-"));
    QVERIFY(pdf.trimmed().endsWith("%%EOF"));
    // A4 in points, the same box on every page.
    const QByteArray a4 = "/MediaBox [0 0 595.000000 842.000000]";
    QCOMPARE(pdf.count(a4), pdf.count("/Type /Page\n"));
    QVERIFY(pdf.count(a4) >= pages);
    // The page's own 30 x 30 picture is drawn, the private 40 x 40 one not.
    QCOMPARE(pdf.count("/Width 30"), images);
    QVERIFY(!pdf.contains("/Width 40"));
}

void TestSystemFun::pdfResources_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("url");
    QTest::addColumn<QVariant>("loaded");
    const int css = QTextDocument::StyleSheetResource;
    const int image = QTextDocument::ImageResource;
    QTest::newRow("data: style sheet") << css << "data:text/css,p%7Bcolor:red%7D"
                                       << QVariant(QStringLiteral("p{color:red}"));
    QTest::newRow("data: base64") << css << "data:text/css;base64,cHt9" << QVariant(QStringLiteral("p{}"));
    QTest::newRow("data: image") << image << QString::fromLatin1(pngDataUrl(2, 3)) << QVariant(QSize(2, 3));
    QTest::newRow("image of 100 megapixels") << image << QString::fromLatin1(pngDataUrl(10000, 10000)) << QVariant();
    QTest::newRow("not an image") << image << "data:image/png;base64,AAAA" << QVariant();
    for (const char *url : {"file:///etc/passwd", "/etc/passwd", "private.png", "http://127.0.0.1/a.css",
                            "qrc:/images/tray_icon.png", "data-x:,a", "data:no-comma"})
        QTest::newRow(url) << css << url << QVariant();
}

void TestSystemFun::pdfResources()
{
    QFETCH(int, type);
    QFETCH(QString, url);
    QFETCH(QVariant, loaded);
    const QVariant resource = SystemFun::pdfResource(type, QUrl(url));
    if (loaded.type() == QVariant::Size)
        QCOMPARE(resource.value<QImage>().size(), loaded.toSize());
    else
        QCOMPARE(resource, loaded);
}

void TestSystemFun::pdfSizeLimit_data()
{
    QTest::addColumn<QByteArray>("filename");
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("nul"); // -1: none
    QTest::addColumn<bool>("refused");
    QTest::newRow("4 MiB") << QByteArray("a.pdf") << SystemFun::maxPdfHtml << -1 << false;
    QTest::newRow("4 MiB + 1") << QByteArray("a.pdf") << SystemFun::maxPdfHtml + 1 << -1 << true;
    QTest::newRow("ends at a NUL in time") << QByteArray("a.pdf") << SystemFun::maxPdfHtml + 1 << 10 << false;
    QTest::newRow("not a PDF: echoed") << QByteArray("a.txt") << SystemFun::maxPdfHtml + 1 << -1 << false;
}

void TestSystemFun::pdfSizeLimit()
{
    QFETCH(QByteArray, filename);
    QFETCH(int, size);
    QFETCH(int, nul);
    QFETCH(bool, refused);
    QByteArray content(size, 'x');
    if (nul >= 0)
        content[nul] = '\0';
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, server.serverPort());
    QVERIFY(client.waitForConnected(5000) && server.waitForNewConnection(5000));
    std::unique_ptr<QTcpSocket> peer(server.nextPendingConnection());
    HttpResponse response(peer.get());
    QCOMPARE(SystemFun::refuseOversizedPdf(filename, content, response), refused);
    QCOMPARE(response.hasSentLastPart(), refused);
    if (!refused)
        return;
    // The answer the server gives any request too large for it.
    QByteArray sent;
    QVERIFY(httptest::waitFor([&] {
        sent += client.readAll();
        return sent.endsWith("413 Entity too large\r\n");
    }));
    QVERIFY(sent.startsWith("HTTP/1.1 413 entity too large\r\n"));
}

void TestSystemFun::ftpAddress_data()
{
    QTest::addColumn<QByteArray>("parameter");
    QTest::addColumn<QString>("opened"); // empty: refused
    QTest::newRow("ftp") << QByteArray("ftp://192.168.1.10/") << "ftp://192.168.1.10/";
    QTest::newRow("ftps, user, port, path")
            << QByteArray("ftps://u@meter.lan:2121/logs/a b") << "ftps://u@meter.lan:2121/logs/a b";
    QTest::newRow("scheme in capitals") << QByteArray("FTP://meter.lan") << "FTP://meter.lan";
    QTest::newRow("encoded once more") << QByteArray("ftp%3A%2F%2Fmeter.lan%2Fa%2520b") << "ftp://meter.lan/a%20b";
    for (const char *refused : {"", "C:\\x.exe", "C:/x.exe", "/usr/bin/xterm", "x.exe", "file:///C:/x.exe",
                                "http://meter.lan/", "ftp:meter.lan", "ftp://", "ftp:///x.exe", " ftp://meter.lan",
                                "ftp://meter.lan\\..\\x.exe", "ftp://meter.lan/%0Ax", "ftp://meter.lan/\x01",
                                "%00ftp://meter.lan", "ftp://[::1/", "javascript:alert(1)//ftp://x"})
        QTest::newRow(refused) << QByteArray(refused) << QString();
}

void TestSystemFun::ftpAddress()
{
    QFETCH(QByteArray, parameter);
    QFETCH(QString, opened);
    QCOMPARE(SystemFun::ftpAddress(parameter), opened);
}

QTEST_MAIN(TestSystemFun)
#include "tst_systemfun.moc"
