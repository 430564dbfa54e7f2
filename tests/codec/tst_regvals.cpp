#include <QtTest>

#include <cstring>
#include <limits>

#include "regvalsparser.h"

Q_DECLARE_METATYPE(QVector<RegValsElement>)

static RegValsElement num(double v)
{
    RegValsElement e;
    e.kind = RegValsElement::Number;
    e.number = v;
    return e;
}

static RegValsElement str(const QString &s)
{
    RegValsElement e;
    e.kind = RegValsElement::String;
    e.text = s;
    return e;
}

static quint32 bitsOf(float f)
{
    quint32 b;
    std::memcpy(&b, &f, sizeof b);
    return b;
}

class TestRegVals : public QObject
{
    Q_OBJECT

private slots:
    void accepted_data();
    void accepted();
    void refused_data();
    void refused();
    void bounds();
    void toNumber_data();
    void toNumber();
    void toInteger_data();
    void toInteger();
    void toFloat_data();
    void toFloat();
    void toWide_data();
    void toWide();
};

void TestRegVals::accepted_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<QVector<RegValsElement>>("expected");

    const double inf = std::numeric_limits<double>::infinity();
    QTest::newRow("empty") << "[]" << QVector<RegValsElement>{};
    QTest::newRow("empty spaced") << " [ ] " << QVector<RegValsElement>{};
    QTest::newRow("integers") << "[10,-2,+3]" << QVector<RegValsElement>{num(10), num(-2), num(3)};
    QTest::newRow("decimals") << "[3.5, .5, 5., -.25E-1, 1.5e3, 2e+2]"
                              << QVector<RegValsElement>{num(3.5), num(0.5), num(5), num(-0.025), num(1500), num(200)};
    QTest::newRow("hex") << "[0x1F,0XfF,-0x10]" << QVector<RegValsElement>{num(31), num(255), num(-16)};
    QTest::newRow("legacy octal") << "[010,019,0,-07]" << QVector<RegValsElement>{num(8), num(19), num(0), num(-7)};
    QTest::newRow("sign then blank") << "[- 5]" << QVector<RegValsElement>{num(-5)};
    QTest::newRow("out of range") << "[1e400,-1e400,1e-400]" << QVector<RegValsElement>{num(inf), num(-inf), num(0)};
    QTest::newRow("quotes") << R"(['a"b', "c'd", ''])" << QVector<RegValsElement>{str("a\"b"), str("c'd"), str("")};
    QTest::newRow("escapes") << R"(["\n\t\r\b\f\v\u0041\x42\\\/\q\'\"\0"])"
                             << QVector<RegValsElement>{str(QString::fromUtf16(u"\n\t\r\b\f\vAB\\/q'\"") + QChar(0))};
    QTest::newRow("line continuation") << "[\"a\\\nb\",'c\\\r\nd']" << QVector<RegValsElement>{str("ab"), str("cd")};
    QTest::newRow("non-latin") << QString::fromUtf8("['é\\u20AC']")
                               << QVector<RegValsElement>{str(QString::fromUtf8("é€"))};
    QTest::newRow("trailing comma") << "[1,2,]" << QVector<RegValsElement>{num(1), num(2)};
    QTest::newRow("mixed") << "[12,\"12\",'abc']" << QVector<RegValsElement>{num(12), str("12"), str("abc")};
    QTest::newRow("script white space") << QString::fromUtf16(u"\t[\n1\r\n,\u00A02\u2028,\uFEFF3\u3000]\v")
                                        << QVector<RegValsElement>{num(1), num(2), num(3)};
}

void TestRegVals::accepted()
{
    QFETCH(QString, source);
    QFETCH(QVector<RegValsElement>, expected);

    QVector<RegValsElement> got;
    QVERIFY(parseRegVals(source, &got));
    QCOMPARE(got.size(), expected.size());
    for (int i = 0; i < got.size(); ++i) {
        QCOMPARE(got[i].kind, expected[i].kind);
        if (got[i].kind == RegValsElement::Number)
            QCOMPARE(got[i].number, expected[i].number);
        else
            QCOMPARE(got[i].text, expected[i].text);
    }
}

void TestRegVals::refused_data()
{
    QTest::addColumn<QString>("source");

    const char *const rows[] = {
            "",
            "   ",
            "5",
            "'[1]'",
            "[",
            "[1,2",
            "[1,2]x",
            "[1]]",
            "[1] [2]",
            "[1],",
            "([1])",
            "[1,,2]",
            "[,]",
            "[,1]",
            "[1 2]",
            "[[1]]",
            "[{}]",
            "[{a:1}]",
            "[a]",
            "[true]",
            "[null]",
            "[undefined]",
            "[Infinity]",
            "[NaN]",
            "[1+1]",
            "[--1]",
            "[-'5']",
            "[+]",
            "[-]",
            "[f()]",
            "[1]; alert(1)",
            "[1] /* c */",
            "[1 // c\n]",
            "[\"abc]",
            "['abc\"]",
            "['a\nb']",
            "['a\rb']",
            "[\"\\x4\"]",
            "[\"\\u12\"]",
            "[\"\\u{41}\"]",
            "[\"\\1\"]",
            "[\"\\01\"]",
            "[\"abc\\",
            "[0x]",
            "[0xg]",
            "[1e]",
            "[1e+]",
            "[.]",
            "[1.2.3]",
            "[1a]",
            "[0x1g]",
            "[1_000]",
            "[07.5]",
            "[1.toString()]",
            "[`1`]",
            "[new Array(5)]",
            "[function(){}]",
            "[...[1]]",
    };
    for (const char *row : rows)
        QTest::newRow(QByteArray(row).replace('\n', "\\n").replace('\r', "\\r").constData()) << QString::fromUtf8(row);
    QTest::newRow("line separator in string") << QString::fromUtf16(u"['a\u2028b']");
}

void TestRegVals::refused()
{
    QFETCH(QString, source);
    QVector<RegValsElement> got{num(1)};
    QVERIFY(!parseRegVals(source, &got));
    QVERIFY(got.isEmpty());
    QVERIFY(!parseRegVals(source, nullptr));
}

void TestRegVals::bounds()
{
    QVector<RegValsElement> got;
    const QString ones = QStringLiteral("1,").repeated(kMaxRegValsElements - 1);
    QVERIFY(parseRegVals(QLatin1Char('[') + ones + QLatin1String("1]"), &got));
    QCOMPARE(got.size(), kMaxRegValsElements);
    QVERIFY(!parseRegVals(QLatin1Char('[') + ones + QLatin1String("1,1]"), &got));

    const QString padded = QLatin1Char('[') + QString(kMaxRegValsLength - 2, QLatin1Char(' ')) + QLatin1Char(']');
    QVERIFY(parseRegVals(padded, &got));
    QVERIFY(!parseRegVals(padded + QLatin1Char(' '), &got));
}

void TestRegVals::toNumber_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<double>("expected"); // NaN stands for "not a number"

    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    QTest::newRow("script spaces") << QString::fromUtf16(u"\u00A012\uFEFF") << 12.0;
    QTest::newRow("hex upper") << "0X1a" << 26.0;
    QTest::newRow("signed hex") << "-0x10" << nan;
    QTest::newRow("bare 0x") << "0x" << nan;
    QTest::newRow("exponent") << "1e3" << 1000.0;
    QTest::newRow("fraction only") << ".5" << 0.5;
    QTest::newRow("point last") << "5." << 5.0;
    QTest::newRow("leading zero is decimal") << "010" << 10.0;
    QTest::newRow("Infinity") << "Infinity" << inf;
    QTest::newRow("-Infinity") << "-Infinity" << -inf;
    QTest::newRow("infinity") << "infinity" << nan;
    QTest::newRow("suffix") << "12px" << nan;
    QTest::newRow("separator") << "1_000" << nan;
    QTest::newRow("exponent only") << "e5" << nan;
    QTest::newRow("two numbers") << "1 2" << nan;
}

void TestRegVals::toNumber()
{
    QFETCH(QString, text);
    QFETCH(double, expected);
    const double got = scriptStringToNumber(text);
    if (qIsNaN(expected))
        QVERIFY(qIsNaN(got));
    else
        QCOMPARE(got, expected);
}

void TestRegVals::toInteger_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<qint32>("int32");
    QTest::addColumn<quint32>("uint32");

    QTest::newRow("truncates") << "[12.9]" << 12 << 12u;
    QTest::newRow("toward zero") << "[-12.9]" << -12 << 4294967284u;
    QTest::newRow("minus one") << "[-1]" << -1 << 4294967295u;
    QTest::newRow("2^31") << "[2147483648]" << -2147483647 - 1 << 2147483648u;
    QTest::newRow("all bits") << "[4294967295]" << -1 << 4294967295u;
    QTest::newRow("2^32 + 5") << "[4294967301]" << 5 << 5u;
    QTest::newRow("below range") << "[-4294967297]" << -1 << 4294967295u;
    QTest::newRow("huge") << "[1e21]" << -559939584 << 3735027712u;
    QTest::newRow("infinite") << "[1e400]" << 0 << 0u;
    QTest::newRow("numeric string") << "[' -7.9 ']" << -7 << 4294967289u;
    QTest::newRow("hex string") << "['0x10']" << 16 << 16u;
    QTest::newRow("empty string") << "['']" << 0 << 0u;
    QTest::newRow("text") << "['abc']" << 0 << 0u;
    QTest::newRow("Infinity string") << "['Infinity']" << 0 << 0u;
}

void TestRegVals::toInteger()
{
    QFETCH(QString, source);
    QFETCH(qint32, int32);
    QFETCH(quint32, uint32);
    QVector<RegValsElement> v;
    QVERIFY(parseRegVals(source, &v));
    QCOMPARE(v.size(), 1);
    QCOMPARE(regValToInt32(v[0]), int32);
    QCOMPARE(regValToUint32(v[0]), uint32);
}

void TestRegVals::toFloat_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<quint32>("bits");

    QTest::newRow("number") << "[12.5]" << 0x41480000u;
    QTest::newRow("string") << "['12.5']" << 0x41480000u;
    QTest::newRow("rounded to single") << "[0.1]" << 0x3DCCCCCDu;
    QTest::newRow("string rounded") << "['  0.1\t']" << 0x3DCCCCCDu;
    QTest::newRow("hex number") << "[0x10]" << 0x41800000u;
    QTest::newRow("number -0") << "[-0]" << 0u;
    QTest::newRow("string -0") << "['-0']" << 0x80000000u;
    QTest::newRow("largest") << "[3.4028234663852886e38]" << 0x7F7FFFFFu;
    QTest::newRow("beyond single") << "[1e39]" << 0u;
    QTest::newRow("string beyond single") << "['-1e39']" << 0u;
    QTest::newRow("infinite") << "[1e400]" << 0u;
    QTest::newRow("smallest denormal") << "['1.4e-45']" << 1u;
    QTest::newRow("hex string") << "['0x10']" << 0u;
    QTest::newRow("Infinity string") << "['Infinity']" << 0u;
    QTest::newRow("text") << "['abc']" << 0u;
    QTest::newRow("empty string") << "['']" << 0u;
    QTest::newRow("suffix") << "['12.5x']" << 0u;
    QTest::newRow("signed string") << "['+2']" << 0x40000000u;
}

void TestRegVals::toFloat()
{
    QFETCH(QString, source);
    QFETCH(quint32, bits);
    QVector<RegValsElement> v;
    QVERIFY(parseRegVals(source, &v));
    QCOMPARE(v.size(), 1);
    QCOMPARE(bitsOf(regValToFloat(v[0])), bits);
}

// 64-bit targets: integers keep every digit a literal or string gives.
void TestRegVals::toWide_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<quint64>("integer");
    QTest::addColumn<double>("real");

    const quint64 all = ~quint64(0);
    QTest::newRow("2^64 - 1") << "[18446744073709551615]" << all << 18446744073709551616.0;
    QTest::newRow("2^53 + 1") << "[9007199254740993]" << quint64(9007199254740993) << 9007199254740992.0;
    QTest::newRow("-2^63") << "[-9223372036854775808]" << (quint64(1) << 63) << -9223372036854775808.0;
    QTest::newRow("minus one") << "[-1]" << all << -1.0;
    QTest::newRow("hex") << "[0xFFFFFFFFFFFFFFFF]" << all << 18446744073709551616.0;
    QTest::newRow("signed hex") << "[-0x10]" << all - 15 << -16.0;
    QTest::newRow("legacy octal") << "[0777]" << quint64(511) << 511.0;
    QTest::newRow("2^64 wraps") << "[18446744073709551616]" << quint64(0) << 18446744073709551616.0;
    QTest::newRow("2^64 + 2^12 wraps") << "[18446744073709555712]" << quint64(4096) << 18446744073709555712.0;
    QTest::newRow("truncates") << "[-12.9]" << all - 11 << -12.9;
    QTest::newRow("exponent") << "[1e19]" << quint64(10000000000000000000u) << 1e19;
    QTest::newRow("number -0") << "[-0]" << quint64(0) << 0.0;
    QTest::newRow("infinite") << "[1e400]" << quint64(0) << 0.0;
    QTest::newRow("string exact") << "[' 18446744073709551615 ']" << all << 18446744073709551616.0;
    QTest::newRow("string negative") << "['-9223372036854775807']" << (quint64(1) << 63) + 1 << -9223372036854775807.0;
    QTest::newRow("string hex") << "['0x8000000000000001']" << (quint64(1) << 63) + 1 << 0.0;
    QTest::newRow("string signed hex") << "['-0x10']" << quint64(0) << 0.0;
    QTest::newRow("string fraction") << "['-2.5']" << all - 1 << -2.5;
    QTest::newRow("string text") << "['abc']" << quint64(0) << 0.0;
    QTest::newRow("string beyond double") << "['1e309']" << quint64(0) << 0.0;
}

void TestRegVals::toWide()
{
    QFETCH(QString, source);
    QFETCH(quint64, integer);
    QFETCH(double, real);
    QVector<RegValsElement> v;
    QVERIFY(parseRegVals(source, &v));
    QCOMPARE(v.size(), 1);
    QCOMPARE(regValToUint64(v[0]), integer);
    QCOMPARE(regValToDouble(v[0]), real);
}

QTEST_APPLESS_MAIN(TestRegVals)
#include "tst_regvals.moc"
