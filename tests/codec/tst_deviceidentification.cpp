#include <QtTest>

#include "deviceidentification.h"

static QByteArray hex(const char *text)
{
    return QByteArray::fromHex(QByteArray(text).replace(' ', ""));
}

class TestDeviceIdentification : public QObject
{
    Q_OBJECT

private slots:
    void replies_data();
    void replies();
};

// Reply PDUs as they come off the wire, and the JSON their objects make.
void TestDeviceIdentification::replies_data()
{
    QTest::addColumn<QByteArray>("pdu");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<bool>("more");
    QTest::addColumn<int>("next");
    QTest::addColumn<QByteArray>("json");

    QTest::newRow("basic") << hex("2B 0E 01 81 00 00 03 00 04 42726970 01 02 7369 02 06 302E332E3135") << true << false
                           << 0
                           << QByteArray(R"({"conformity":"0x81","objects":{"VendorName":"Brip",)"
                                         R"("ProductCode":"si","MajorMinorRevision":"0.3.15"}})");
    QTest::newRow("more follows, private object named by number")
            << hex("2B 0E 03 83 FF 81 02 05 03 612F62 80 03 22E95C") << true << true << 0x81
            << QByteArray(R"({"conformity":"0x83","objects":{"ModelName":"a/b","0x80":"\"\u00e9\\"}})");
    QTest::newRow("object twice keeps the first")
            << hex("2B 0E 04 82 00 00 02 00 01 41 00 01 42") << true << false << 0
            << QByteArray(R"({"conformity":"0x82","objects":{"VendorName":"A"}})");
    QTest::newRow("no objects, empty value")
            << hex("2B 0E 01 01 00 00 01 06 00") << true << false << 0
            << QByteArray(R"({"conformity":"0x01","objects":{"UserApplicationName":""}})");
    QTest::newRow("object runs past the end")
            << hex("2B 0E 01 81 00 00 01 00 05 4142") << false << false << 0 << QByteArray();
    QTest::newRow("fewer objects than counted")
            << hex("2B 0E 01 81 00 00 02 00 01 41") << false << false << 0 << QByteArray();
    QTest::newRow("bytes left over") << hex("2B 0E 01 81 00 00 01 00 01 41 00") << false << false << 0 << QByteArray();
    QTest::newRow("header cut") << hex("2B 0E 01 81 00 00") << false << false << 0 << QByteArray();
    QTest::newRow("other MEI type") << hex("2B 0D 01 81 00 00 00") << false << false << 0 << QByteArray();
    QTest::newRow("exception reply") << hex("AB 01") << false << false << 0 << QByteArray();
    QTest::newRow("more follows byte") << hex("2B 0E 01 81 01 00 00") << false << false << 0 << QByteArray();
}

void TestDeviceIdentification::replies()
{
    QFETCH(QByteArray, pdu);
    QFETCH(bool, ok);
    QFETCH(bool, more);
    QFETCH(int, next);
    QFETCH(QByteArray, json);
    DeviceIdPage page;
    page.conformity = 0x55;
    QCOMPARE(parseDeviceIdReply(pdu, &page), ok);
    if (!ok) {
        QCOMPARE(page.conformity, quint8(0x55));
        return;
    }
    QCOMPARE(page.moreFollows, more);
    QCOMPARE(int(page.nextObjectId), next);
    QCOMPARE(deviceIdJson(page.conformity, page.objects), json);
    QCOMPARE(deviceIdRequest(4, 0x80), hex("2B 0E 04 80"));
}

QTEST_APPLESS_MAIN(TestDeviceIdentification)
#include "tst_deviceidentification.moc"
