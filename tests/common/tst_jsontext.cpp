// The one JSON string escaper every reply builder uses.
#include <QtTest>

#include "jsontext.h"

class TestJsonText : public QObject
{
    Q_OBJECT
private slots:
    void escapeChar_data();
    void escapeChar();
    void escapeText_data();
    void escapeText();
};

void TestJsonText::escapeChar_data()
{
    QTest::addColumn<int>("byte");
    QTest::addColumn<QByteArray>("kept"); // JsonSlash::Keep
    QTest::addColumn<QByteArray>("escaped"); // JsonSlash::Escape

    QTest::newRow("backspace") << 8 << QByteArray("\\b") << QByteArray("\\b");
    QTest::newRow("tab") << 9 << QByteArray("\\t") << QByteArray("\\t");
    QTest::newRow("newline") << 10 << QByteArray("\\n") << QByteArray("\\n");
    QTest::newRow("form feed") << 12 << QByteArray("\\f") << QByteArray("\\f");
    QTest::newRow("return") << 13 << QByteArray("\\r") << QByteArray("\\r");
    QTest::newRow("quote") << int('"') << QByteArray("\\\"") << QByteArray("\\\"");
    QTest::newRow("slash") << int('/') << QByteArray("/") << QByteArray("\\/");
    QTest::newRow("backslash") << int('\\') << QByteArray("\\\\") << QByteArray("\\\\");
    QTest::newRow("nul") << 0 << QByteArray("\\u0000") << QByteArray("\\u0000");
    QTest::newRow("vertical tab") << 11 << QByteArray("\\u000b") << QByteArray("\\u000b");
    QTest::newRow("unit separator") << 0x1F << QByteArray("\\u001f") << QByteArray("\\u001f");
    QTest::newRow("blank") << 32 << QByteArray(" ") << QByteArray(" ");
    QTest::newRow("apostrophe") << int('\'') << QByteArray("'") << QByteArray("'");
    QTest::newRow("tilde") << 0x7E << QByteArray("~") << QByteArray("~");
    QTest::newRow("delete") << 0x7F << QByteArray("\x7f") << QByteArray("\x7f");
    QTest::newRow("high byte") << 0xC3 << QByteArray("\xc3") << QByteArray("\xc3");
}

void TestJsonText::escapeChar()
{
    QFETCH(int, byte);
    QFETCH(QByteArray, kept);
    QFETCH(QByteArray, escaped);
    QCOMPARE(jsonEscapeChar(char(byte)), kept);
    QCOMPARE(jsonEscapeChar(char(byte), JsonSlash::Escape), escaped);
}

void TestJsonText::escapeText_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("kept");
    QTest::addColumn<QByteArray>("escaped");

    QTest::newRow("empty") << QByteArray() << QByteArray() << QByteArray();
    // UTF-8 in port names passes through byte for byte.
    QTest::newRow("port name") << QByteArray("COM\"1\\/x\n\x01\xc3\xa9", 12)
                               << QByteArray("COM\\\"1\\\\/x\\n\\u0001\xc3\xa9")
                               << QByteArray("COM\\\"1\\\\\\/x\\n\\u0001\xc3\xa9");
    QTest::newRow("inner NUL") << QByteArray("a\0b", 3) << QByteArray("a\\u0000b") << QByteArray("a\\u0000b");
    QTest::newRow("device path") << QByteArray("/dev/pts/3") << QByteArray("/dev/pts/3")
                                 << QByteArray("\\/dev\\/pts\\/3");
}

void TestJsonText::escapeText()
{
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, kept);
    QFETCH(QByteArray, escaped);
    QCOMPARE(jsonEscape(text), kept);
    QCOMPARE(jsonEscape(text, JsonSlash::Escape), escaped);
}

QTEST_APPLESS_MAIN(TestJsonText)
#include "tst_jsontext.moc"
