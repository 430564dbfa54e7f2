#include <QtTest>

#include "bitlist.h"

class TestBitList : public QObject
{
    Q_OBJECT

private slots:
    void bitVals_data();
    void bitVals();
    void registerWord_data();
    void registerWord();
};

void TestBitList::bitVals_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<int>("count");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QByteArray>("reply"); // the bits read back as readBits answers

    QTest::newRow("numbers and booleans")
            << QByteArray(" [1,0,true,false, 1.0] ") << 5 << true << QByteArray("[1,0,1,0,1]");
    QTest::newRow("one") << QByteArray("[true]") << 1 << true << QByteArray("[1]");
    QTest::newRow("count differs") << QByteArray("[1,0]") << 3 << false << QByteArray("[]");
    QTest::newRow("two") << QByteArray("[2]") << 1 << false << QByteArray("[]");
    QTest::newRow("minus one") << QByteArray("[-1]") << 1 << false << QByteArray("[]");
    QTest::newRow("half") << QByteArray("[0.5]") << 1 << false << QByteArray("[]");
    QTest::newRow("string") << QByteArray("[\"1\"]") << 1 << false << QByteArray("[]");
    QTest::newRow("null") << QByteArray("[null]") << 1 << false << QByteArray("[]");
    QTest::newRow("nested") << QByteArray("[[1]]") << 1 << false << QByteArray("[]");
    QTest::newRow("object") << QByteArray("{\"0\":1}") << 1 << false << QByteArray("[]");
    QTest::newRow("not JSON") << QByteArray("[1,]") << 1 << false << QByteArray("[]");
    QTest::newRow("empty for none") << QByteArray("[]") << 0 << true << QByteArray("[]");
}

void TestBitList::bitVals()
{
    QFETCH(QByteArray, json);
    QFETCH(int, count);
    QFETCH(bool, ok);
    QFETCH(QByteArray, reply);
    QVector<quint8> bits{7};
    QCOMPARE(parseBitVals(json, count, &bits), ok);
    QCOMPARE(bitsToJson(bits), reply);
}

void TestBitList::registerWord_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<int>("word");

    QTest::newRow("decimal") << QByteArray("65535") << true << 65535;
    QTest::newRow("zero") << QByteArray("0") << true << 0;
    QTest::newRow("hex") << QByteArray("0x00fF") << true << 255;
    QTest::newRow("hex upper prefix") << QByteArray("0XFFFF") << true << 65535;
    QTest::newRow("leading zeros") << QByteArray("000000000000000012") << true << 12;
    QTest::newRow("65536") << QByteArray("65536") << false << 0;
    QTest::newRow("hex beyond") << QByteArray("0x10000") << false << 0;
    QTest::newRow("2^64") << QByteArray("18446744073709551616") << false << 0;
    QTest::newRow("negative") << QByteArray("-1") << false << 0;
    QTest::newRow("plus") << QByteArray("+1") << false << 0;
    QTest::newRow("blank") << QByteArray(" 1") << false << 0;
    QTest::newRow("empty") << QByteArray() << false << 0;
    QTest::newRow("bare 0x") << QByteArray("0x") << false << 0;
    QTest::newRow("hex digits without 0x") << QByteArray("FF") << false << 0;
    QTest::newRow("fraction") << QByteArray("1.0") << false << 0;
}

void TestBitList::registerWord()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, ok);
    QFETCH(int, word);
    quint16 got = 0;
    QCOMPARE(parseRegisterWord(text, &got), ok);
    QCOMPARE(int(got), word);
}

QTEST_APPLESS_MAIN(TestBitList)
#include "tst_bitlist.moc"
