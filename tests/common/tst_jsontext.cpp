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
    void repeatedNames_data();
    void repeatedNames();
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

// Qt 5.15 leaks the first value of a repeated name; the scan must see every
// spelling of a repeat and nothing else.
void TestJsonText::repeatedNames_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("repeats");
    QTest::newRow("distinct") << QByteArray(R"({"a":{"x":1},"b":{"x":2}})") << false;
    QTest::newRow("object twice") << QByteArray(R"({"a":{"x":1},"a":{"x":2}})") << true;
    QTest::newRow("nested") << QByteArray(R"([1,{"k":[{"a":[1],"a":2}]}])") << true;
    QTest::newRow("same name, other objects") << QByteArray(R"([{"a":1},{"a":2}])") << false;
    QTest::newRow("inner name not the outer's") << QByteArray(R"({"a":{"a":1}})") << false;
    QTest::newRow("value equal to a name") << QByteArray(R"({"a":"a","b":"a"})") << false;
    QTest::newRow("escaped spelling") << QByteArray(R"({"a":[1],"\u0061":[2]})") << true;
    QTest::newRow("escaped quote in name") << QByteArray(R"({"a\"":1,"a\"":2})") << true;
    QTest::newRow("comma inside a string") << QByteArray(R"({"a":"x,\"a\":1"})") << false;
    QTest::newRow("unclosed") << QByteArray(R"({"a":[1],"a":[2])") << true;
    QTest::newRow("stray closers") << QByteArray("]]}}\"") << false;
    QTest::newRow("empty") << QByteArray() << false;
}

void TestJsonText::repeatedNames()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, repeats);
    QCOMPARE(jsonRepeatsMemberName(text), repeats);
    QJsonParseError error;
    const QJsonDocument document = parseForeignJson(text, &error);
    if (repeats)
        QVERIFY(document.isNull() && error.error == QJsonParseError::IllegalValue);
}

QTEST_APPLESS_MAIN(TestJsonText)
#include "tst_jsontext.moc"
