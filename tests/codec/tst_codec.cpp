#include <QtTest>

#include "registercodec.h"
#include "regvalsparser.h"

Q_DECLARE_METATYPE(FormatCheck)
Q_DECLARE_METATYPE(ValuesCheck)

// Units are written as blank-separated hex, in buffer order.
static QVector<quint16> units(const QString &hex)
{
    QVector<quint16> out;
    const QStringList parts = hex.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    for (const QString &p : parts)
        out.append(quint16(p.toUInt(nullptr, 16)));
    return out;
}

static QString hexUnits(const QVector<quint16> &u)
{
    QStringList parts;
    for (quint16 v : u)
        parts << QStringLiteral("%1").arg(v, 4, 16, QLatin1Char('0')).toUpper();
    return parts.join(QLatin1Char(' '));
}

class TestCodec : public QObject
{
    Q_OBJECT

private slots:
    void decode_data();
    void decode();
    void encode_data();
    void encode();
    void roundTrip_data();
    void roundTrip();
    void wholeWords_data();
    void wholeWords();
    void floatText_data();
    void floatText();
    void typed_data();
    void typed();
    void formats_data();
    void formats();
    void refusedValues_data();
    void refusedValues();
};

static ValueFormat format(const QString &type, int regSize, int valSize, const QByteArray &order, int floatPrec = 3)
{
    ValueFormat f;
    f.type = valueTypeFromName(type);
    f.regSize = regSize;
    f.valSize = valSize;
    f.floatPrec = floatPrec;
    f.byteOrder = order.isEmpty() ? ByteOrder::Native : byteOrderFromName(order);
    return f;
}

void TestCodec::decode_data()
{
    QTest::addColumn<QString>("data");
    QTest::addColumn<int>("valuesCnt");
    QTest::addColumn<QString>("regType");
    QTest::addColumn<int>("regSize");
    QTest::addColumn<int>("valSize");
    QTest::addColumn<int>("floatPrec");
    QTest::addColumn<QByteArray>("expected");

    // row 6 and the defaults
    QTest::newRow("int16") << "FFFF 000C 8000 7FFF" << 4 << "int" << 16 << 16 << 2
                           << QByteArray("[-1,12,-32768,32767]");
    // row 9
    QTest::newRow("uint16") << "FFFF 0000" << 2 << "uint" << 16 << 16 << 2 << QByteArray("[65535,0]");
    QTest::newRow("type is case-sensitive") << "FFFF" << 1 << "Int" << 16 << 16 << 2 << QByteArray("[65535]");
    QTest::newRow("unknown type") << "8001" << 1 << "word" << 16 << 16 << 2 << QByteArray("[32769]");
    QTest::newRow("long with 32-bit registers takes units")
            << "0001 0002 0003 0004" << 2 << "long" << 32 << 32 << 2 << QByteArray("[1,2]");
    // row 1: first register is the high half
    QTest::newRow("float4321/16") << "4148 0000 BE80 0000" << 2 << "float4321" << 16 << 32 << 2
                                  << QByteArray("[12.5,-0.25]");
    QTest::newRow("float4321/16 %g") << "42F6 E9E0 4996 B438 3F00 0000 3727 C5AC" << 4 << "float4321" << 16 << 32 << 5
                                     << QByteArray("[123.457,1.23457e+06,0.5,1e-05]");
    QTest::newRow("float4321/16 1e8 fixed")
            << "4CBE BC20" << 1 << "float4321" << 16 << 32 << 2 << QByteArray("[100000000.00]");
    QTest::newRow("float4321/16 1e8 prec 0")
            << "4CBE BC20" << 1 << "float4321" << 16 << 32 << 0 << QByteArray("[100000000]");
    QTest::newRow("float4321/16 2e8") << "4D3E BC20" << 1 << "float4321" << 16 << 32 << 2 << QByteArray("[2e+08]");
    QTest::newRow("float4321/16 -0") << "8000 0000" << 1 << "float4321" << 16 << 32 << 2 << QByteArray("[-0]");
    QTest::newRow("float4321/16 NaN, inf")
            << "7FC0 0000 FF80 0000" << 2 << "float4321" << 16 << 32 << 2 << QByteArray("[null,null]");
    // row 2: 32-bit registers, halves exchanged
    QTest::newRow("float1234/32") << "4148 0000" << 1 << "float1234" << 32 << 32 << 2 << QByteArray("[12.5]");
    // row 3: first register is the low half
    QTest::newRow("float1234/16") << "0000 4148" << 1 << "float1234" << 16 << 32 << 2 << QByteArray("[12.50]");
    QTest::newRow("float1234/16 denormal") << "4148 0000" << 1 << "float1234" << 16 << 32 << 2 << QByteArray("[0.00]");
    QTest::newRow("float1234/16 prec 0") << "0000 4149" << 1 << "float1234" << 16 << 32 << 0 << QByteArray("[13]");
    QTest::newRow("float1234/16 prec 1") << "0000 4149" << 1 << "float1234" << 16 << 32 << 1 << QByteArray("[12.6]");
    QTest::newRow("float1234/16 prec 20")
            << "CCCD 3DCC" << 1 << "float1234" << 16 << 32 << 20 << QByteArray("[0.10000000149011611938]");
    QTest::newRow("float1234/16 1e8 stays fixed")
            << "BC20 4CBE" << 1 << "float1234" << 16 << 32 << 1 << QByteArray("[100000000.0]");
    QTest::newRow("float1234/16 max") << "FFFF 7F7F" << 1 << "float1234" << 16 << 32 << 0
                                      << QByteArray("[340282346638528859811704183484516925440]");
    QTest::newRow("float1234/16 NaN") << "0000 7FC0" << 1 << "float1234" << 16 << 32 << 2 << QByteArray("[null]");
    // row 4
    QTest::newRow("float4321/32") << "0000 4148 0000 BE80" << 2 << "float4321" << 32 << 32 << 3
                                  << QByteArray("[12.500,-0.250]");
    // row 5: first register is the high half
    QTest::newRow("long/16") << "0001 0002 FFFF FFFE" << 2 << "long" << 16 << 32 << 2
                             << QByteArray("[65538,4294967294]");
    // row 7: first register is the low half
    QTest::newRow("int32/16") << "FFFE FFFF 0000 8000 5678 1234" << 3 << "int" << 16 << 32 << 2
                              << QByteArray("[-2,-2147483648,305419896]");
    QTest::newRow("int32/32") << "5678 1234 FFFF FFFF" << 2 << "int" << 32 << 32 << 2 << QByteArray("[305419896,-1]");
    // row 8
    QTest::newRow("uint32/16") << "FFFF FFFF 0000 8000" << 2 << "uint" << 16 << 32 << 2
                               << QByteArray("[4294967295,2147483648]");
    QTest::newRow("uint32/32") << "0001 0000" << 1 << "uint" << 32 << 32 << 2 << QByteArray("[1]");

    // no value from beyond the received data
    QTest::newRow("no values") << "" << 0 << "int" << 16 << 16 << 2 << QByteArray("[]");
    QTest::newRow("negative count") << "0001" << -3 << "int" << 16 << 16 << 2 << QByteArray("[]");
    QTest::newRow("short buffer 16") << "0001" << 2 << "int" << 16 << 16 << 2 << QByteArray();
    QTest::newRow("short buffer 32") << "0001 0002 0003" << 2 << "int" << 16 << 32 << 2 << QByteArray();
    QTest::newRow("words for 16-bit values") << "4148 0000" << 2 << "float4321" << 16 << 16 << 2 << QByteArray();
    QTest::newRow("long with 16-bit values") << "0001 0002 0003" << 3 << "long" << 16 << 16 << 2 << QByteArray();
}

void TestCodec::decode()
{
    QFETCH(QString, data);
    QFETCH(int, valuesCnt);
    QFETCH(QString, regType);
    QFETCH(int, regSize);
    QFETCH(int, valSize);
    QFETCH(int, floatPrec);
    QFETCH(QByteArray, expected);
    QCOMPARE(decodeRegisters(units(data), valuesCnt, regType, regSize, valSize, floatPrec), expected);
}

// clang-format off
void TestCodec::encode_data()
{
    QTest::addColumn<QString>("regVals");
    QTest::addColumn<QString>("regType");
    QTest::addColumn<int>("regSize");
    QTest::addColumn<int>("valSize");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QString>("expected");

    // row 7
    QTest::newRow("int16") << "[65535,-1,70000,12.9,-12.9]" << "int" << 16 << 16 << true << "FFFF FFFF 1170 000C FFF4";
    QTest::newRow("int16 strings") << "[\"12\",\"abc\",\" 0x10 \",\"\",\"-3.7e1\"]"
                                   << "int" << 16 << 16 << true << "000C 0000 0010 0000 FFDB";
    QTest::newRow("uint16") << "[65535,-1,65536]" << "uint" << 16 << 16 << true << "FFFF FFFF 0000";
    QTest::newRow("long falls to 16-bit") << "[5]" << "long" << 16 << 16 << true << "0005";
    QTest::newRow("long/32 into units") << "[1,2]" << "long" << 32 << 32 << true << "0001 0002 0000 0000";
    QTest::newRow("int16 beyond 32 bits") << "[4294967297,1e300,\"Infinity\"]"
                                          << "int" << 16 << 16 << true << "0001 0000 0000";
    // row 5: low half first
    QTest::newRow("int32/16") << "[-2,2147483648,-2147483649,305419896]"
                              << "int" << 16 << 32 << true << "FFFE FFFF 0000 8000 FFFF 7FFF 5678 1234";
    QTest::newRow("int32/32") << "[-2]" << "int" << 32 << 32 << true << "FFFE FFFF";
    // row 6
    QTest::newRow("uint32/16") << "[4294967295,-1,4294967296,65536,\"4294967295\"]"
                               << "uint" << 16 << 32 << true << "FFFF FFFF FFFF FFFF 0000 0000 0000 0001 FFFF FFFF";
    QTest::newRow("uint32/32") << "[1.9]" << "uint" << 32 << 32 << true << "0001 0000";
    // rows 1 to 4
    QTest::newRow("float4321/16") << "[12.5,\"-0.25\"]" << "float4321" << 16 << 32 << true << "4148 0000 BE80 0000";
    QTest::newRow("float1234/16") << "[12.5,0.1]" << "float1234" << 16 << 32 << true << "0000 4148 CCCD 3DCC";
    QTest::newRow("float1234/32") << "[12.5]" << "float1234" << 32 << 32 << true << "4148 0000";
    QTest::newRow("float4321/32") << "[12.5]" << "float4321" << 32 << 32 << true << "0000 4148";
    QTest::newRow("float number -0 is +0") << "[-0]" << "float1234" << 16 << 32 << true << "0000 0000";
    QTest::newRow("float string -0") << "[\"-0\"]" << "float1234" << 16 << 32 << true << "0000 8000";
    QTest::newRow("float not a number") << "[\"abc\",\"0x10\",\"Infinity\",\"12.5x\"]"
                                        << "float1234" << 16 << 32 << true << "0000 0000 0000 0000 0000 0000 0000 0000";
    QTest::newRow("float beyond single") << "[1e39,\"-1e39\"]"
                                         << "float1234" << 16 << 32 << true << "0000 0000 0000 0000";
    QTest::newRow("float string padded") << "[\" 12.5 \",\".5\",\"2.\"]"
                                         << "float1234" << 16 << 32 << true << "0000 4148 0000 3F00 0000 4000";
    // nothing written beyond the count
    QTest::newRow("float with 16-bit values") << "[12.5]" << "float4321" << 16 << 16 << false << "0000";
    QTest::newRow("empty list") << "[]" << "int" << 16 << 16 << true << "";
}
// clang-format on

void TestCodec::encode()
{
    QFETCH(QString, regVals);
    QFETCH(QString, regType);
    QFETCH(int, regSize);
    QFETCH(int, valSize);
    QFETCH(bool, ok);
    QFETCH(QString, expected);

    QVector<RegValsElement> values;
    QVERIFY(parseRegVals(regVals, &values));
    QVector<quint16> out(3, 0xAAAA);
    QCOMPARE(encodeRegisters(values, regType, regSize, valSize, &out), ok);
    if (ok)
        QCOMPARE(hexUnits(out), expected);
}

void TestCodec::roundTrip_data()
{
    QTest::addColumn<QString>("regType");
    QTest::addColumn<int>("regSize");
    QTest::addColumn<int>("valSize");
    QTest::addColumn<QString>("values");
    QTest::addColumn<QByteArray>("readBack");

    QTest::newRow("int16") << "int" << 16 << 16 << "[-32768,-1,0,32767]" << QByteArray("[-32768,-1,0,32767]");
    QTest::newRow("uint16") << "uint" << 16 << 16 << "[0,1,65535]" << QByteArray("[0,1,65535]");
    QTest::newRow("int32/16") << "int" << 16 << 32 << "[-2147483648,-1,2147483647]"
                              << QByteArray("[-2147483648,-1,2147483647]");
    QTest::newRow("int32/32") << "int" << 32 << 32 << "[-7,123456789]" << QByteArray("[-7,123456789]");
    QTest::newRow("uint32/16") << "uint" << 16 << 32 << "[0,4294967295]" << QByteArray("[0,4294967295]");
    QTest::newRow("uint32/32") << "uint" << 32 << 32 << "[3000000000]" << QByteArray("[3000000000]");
    QTest::newRow("float4321/16") << "float4321" << 16 << 32 << "[12.5,-0.25,1e-05,2e8,1e8]"
                                  << QByteArray("[12.5,-0.25,1e-05,2e+08,100000000.00]");
    QTest::newRow("float1234/32") << "float1234" << 32 << 32 << "[0.5]" << QByteArray("[0.5]");
    QTest::newRow("float1234/16") << "float1234" << 16 << 32 << "[12.5,-3]" << QByteArray("[12.50,-3.00]");
    QTest::newRow("float4321/32") << "float4321" << 32 << 32 << "[1234567]" << QByteArray("[1234567.00]");
}

void TestCodec::roundTrip()
{
    QFETCH(QString, regType);
    QFETCH(int, regSize);
    QFETCH(int, valSize);
    QFETCH(QString, values);
    QFETCH(QByteArray, readBack);

    QVector<RegValsElement> parsed;
    QVERIFY(parseRegVals(values, &parsed));
    QVector<quint16> u;
    QVERIFY(encodeRegisters(parsed, regType, regSize, valSize, &u));
    QCOMPARE(decodeRegisters(u, parsed.size(), regType, regSize, valSize, 2), readBack);
}

void TestCodec::wholeWords_data()
{
    QTest::addColumn<QString>("regType");
    QTest::addColumn<int>("regSize");
    QTest::addColumn<int>("valSize");
    QTest::addColumn<bool>("read");
    QTest::addColumn<bool>("write");

    QTest::newRow("float4321/16/16") << "float4321" << 16 << 16 << true << true;
    QTest::newRow("float1234/16/16") << "float1234" << 16 << 16 << true << true;
    QTest::newRow("long/16/16") << "long" << 16 << 16 << true << false;
    QTest::newRow("float4321/16/32") << "float4321" << 16 << 32 << false << false;
    QTest::newRow("long/16/32") << "long" << 16 << 32 << false << false;
    QTest::newRow("int/16/16") << "int" << 16 << 16 << false << false;
    QTest::newRow("uint/16/16") << "uint" << 16 << 16 << false << false;
    QTest::newRow("float1234/32/32") << "float1234" << 32 << 32 << false << false;
    QTest::newRow("other/16/16") << "Float4321" << 16 << 16 << false << false;
}

void TestCodec::wholeWords()
{
    QFETCH(QString, regType);
    QFETCH(int, regSize);
    QFETCH(int, valSize);
    QFETCH(bool, read);
    QFETCH(bool, write);
    QCOMPARE(needsWholeWords(regType, regSize, valSize, CodecDirection::Read), read);
    QCOMPARE(needsWholeWords(regType, regSize, valSize, CodecDirection::Write), write);
}

void TestCodec::floatText_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<int>("precision"); // -1: short form
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("short, six digits") << 100000.0 << -1 << QByteArray("100000");
    QTest::newRow("short, seven digits") << 1000000.0 << -1 << QByteArray("1e+06");
    QTest::newRow("short, small") << 0.0001 << -1 << QByteArray("0.0001");
    QTest::newRow("short, three-digit exponent") << 1e100 << -1 << QByteArray("1e+100");
    QTest::newRow("short, 1e8 itself") << 1e8 << -1 << QByteArray("1e+08");
    QTest::newRow("short, zero") << 0.0 << -1 << QByteArray("0");
    QTest::newRow("fixed, negative precision") << 12.75 << -4 << QByteArray("13");
    QTest::newRow("fixed, rounds to -0") << -0.004 << 2 << QByteArray("-0.00");
    QTest::newRow("fixed, large") << 1e20 << 1 << QByteArray("100000000000000000000.0");
    QTest::newRow("fixed, infinite") << std::numeric_limits<double>::infinity() << 2 << QByteArray("null");
}

void TestCodec::floatText()
{
    QFETCH(double, value);
    QFETCH(int, precision);
    QFETCH(QByteArray, expected);
    if (precision == -1)
        QCOMPARE(formatFloatShort(value), expected);
    else
        QCOMPARE(formatFloatFixed(value, precision), expected);
}

// Type x size x byte order: written, then read back with the same format.
// words "-" leaves the register contents unchecked.
// clang-format off
void TestCodec::typed_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<int>("regSize");
    QTest::addColumn<int>("valSize");
    QTest::addColumn<QByteArray>("order");
    QTest::addColumn<int>("count");
    QTest::addColumn<QString>("regVals");
    QTest::addColumn<QString>("words");
    QTest::addColumn<QByteArray>("readBack");

    QTest::newRow("int32/16 native, low half first") << "int" << 16 << 32 << QByteArray() << 1 << "[305419896]" << "5678 1234" << QByteArray("[305419896]");
    QTest::newRow("int32/16 ABCD") << "int" << 16 << 32 << QByteArray("ABCD") << 1 << "[305419896]" << "1234 5678" << QByteArray("[305419896]");
    QTest::newRow("int32/16 CDAB") << "int" << 16 << 32 << QByteArray("CDAB") << 1 << "[305419896]" << "5678 1234" << QByteArray("[305419896]");
    QTest::newRow("int32/16 BADC") << "int" << 16 << 32 << QByteArray("BADC") << 2 << "[305419896,-2]" << "3412 7856 FFFF FEFF" << QByteArray("[305419896,-2]");
    QTest::newRow("int32/16 DCBA") << "int" << 16 << 32 << QByteArray("DCBA") << 1 << "[305419896]" << "7856 3412" << QByteArray("[305419896]");
    QTest::newRow("uint32/32 native") << "uint" << 32 << 32 << QByteArray() << 1 << "[305419896]" << "5678 1234" << QByteArray("[305419896]");
    QTest::newRow("uint32/32 CDAB") << "uint" << 32 << 32 << QByteArray("CDAB") << 1 << "[305419896]" << "1234 5678" << QByteArray("[305419896]");
    QTest::newRow("int64 native is ABCD") << "int" << 16 << 64 << QByteArray() << 1 << "[72623859790382856]" << "0102 0304 0506 0708" << QByteArray("[72623859790382856]");
    QTest::newRow("int64 CDAB") << "int" << 16 << 64 << QByteArray("CDAB") << 1 << "[72623859790382856]" << "0708 0506 0304 0102" << QByteArray("[72623859790382856]");
    QTest::newRow("int64 BADC") << "int" << 16 << 64 << QByteArray("BADC") << 1 << "[72623859790382856]" << "0201 0403 0605 0807" << QByteArray("[72623859790382856]");
    QTest::newRow("int64 DCBA") << "int" << 16 << 64 << QByteArray("DCBA") << 1 << "[72623859790382856]" << "0807 0605 0403 0201" << QByteArray("[72623859790382856]");
    QTest::newRow("int64 range") << "int" << 16 << 64 << QByteArray("CDAB") << 3 << "[-9223372036854775808,9223372036854775807,'-1']" << "-" << QByteArray("[-9223372036854775808,9223372036854775807,-1]");
    QTest::newRow("uint64 range") << "uint" << 16 << 64 << QByteArray() << 2 << "[18446744073709551615,\"0x10\"]" << "FFFF FFFF FFFF FFFF 0000 0000 0000 0010" << QByteArray("[18446744073709551615,16]");
    QTest::newRow("uint64 BADC") << "uint" << 16 << 64 << QByteArray("BADC") << 1 << "[9007199254740993]" << "2000 0000 0000 0100" << QByteArray("[9007199254740993]");
    QTest::newRow("float32/16 native is ABCD") << "float" << 16 << 32 << QByteArray() << 2 << "[12.5,-0.1]" << "4148 0000 BDCC CCCD" << QByteArray("[12.500,-0.100]");
    QTest::newRow("float32/16 CDAB") << "float" << 16 << 32 << QByteArray("CDAB") << 1 << "[12.5]" << "0000 4148" << QByteArray("[12.500]");
    QTest::newRow("float32/16 BADC") << "float" << 16 << 32 << QByteArray("BADC") << 1 << "[12.5]" << "4841 0000" << QByteArray("[12.500]");
    QTest::newRow("float32/16 DCBA") << "float" << 16 << 32 << QByteArray("DCBA") << 1 << "[12.5]" << "0000 4841" << QByteArray("[12.500]");
    QTest::newRow("float32/32 native") << "float" << 32 << 32 << QByteArray() << 1 << "[12.5]" << "0000 4148" << QByteArray("[12.500]");
    QTest::newRow("float32/32 BADC") << "float" << 32 << 32 << QByteArray("BADC") << 1 << "[12.5]" << "0000 4841" << QByteArray("[12.500]");
    QTest::newRow("double native is ABCD") << "float" << 16 << 64 << QByteArray() << 2 << "[12.5,'-1.5e15']" << "4029 0000 0000 0000 C315 50F7 DCA7 0000" << QByteArray("[12.500,-1500000000000000.000]");
    QTest::newRow("double CDAB") << "float" << 16 << 64 << QByteArray("CDAB") << 1 << "[12.5]" << "0000 0000 0000 4029" << QByteArray("[12.500]");
    QTest::newRow("double BADC") << "float" << 16 << 64 << QByteArray("BADC") << 1 << "[0.1]" << "B93F 9999 9999 9A99" << QByteArray("[0.100]");
    QTest::newRow("double DCBA") << "float" << 16 << 64 << QByteArray("DCBA") << 1 << "[12.5]" << "0000 0000 0000 2940" << QByteArray("[12.500]");
    QTest::newRow("float1234 ABCD keeps its fixed form") << "float1234" << 16 << 32 << QByteArray("ABCD") << 1 << "[12.5]" << "4148 0000" << QByteArray("[12.500]");
    QTest::newRow("float4321 DCBA keeps its short form") << "float4321" << 16 << 32 << QByteArray("DCBA") << 1 << "[12.5]" << "0000 4841" << QByteArray("[12.5]");
    QTest::newRow("16-bit values ignore the order") << "int" << 16 << 16 << QByteArray("DCBA") << 1 << "[258]" << "0102" << QByteArray("[258]");
    QTest::newRow("ascii padded") << "ascii" << 16 << 16 << QByteArray() << 3 << "['Brio']" << "4272 696F 0000" << QByteArray("[\"Brio\"]");
    QTest::newRow("ascii BADC") << "ascii" << 16 << 16 << QByteArray("BADC") << 3 << "['Brio!']" << "7242 6F69 0021" << QByteArray("[\"Brio!\"]");
    QTest::newRow("ascii CDAB keeps bytes") << "ascii" << 16 << 16 << QByteArray("CDAB") << 1 << "['AB']" << "4142" << QByteArray("[\"AB\"]");
    QTest::newRow("ascii escaped") << "ascii" << 16 << 16 << QByteArray() << 4 << "['a\"\\\\\\xE9\\n\\0b/']" << "6122 5CE9 0A00 622F" << QByteArray("[\"a\\\"\\\\\\u00e9\\n\\u0000b/\"]");
    QTest::newRow("ascii empty") << "ascii" << 16 << 16 << QByteArray() << 2 << "['']" << "0000 0000" << QByteArray("[\"\"]");
    QTest::newRow("hex") << "hex" << 16 << 16 << QByteArray("BADC") << 4 << "['41C8','0',' ffff ','0x12']" << "41C8 0000 FFFF 0012" << QByteArray("[\"41C8\",\"0000\",\"FFFF\",\"0012\"]");
}
// clang-format on

void TestCodec::typed()
{
    QFETCH(QString, type);
    QFETCH(int, regSize);
    QFETCH(int, valSize);
    QFETCH(QByteArray, order);
    QFETCH(int, count);
    QFETCH(QString, regVals);
    QFETCH(QString, words);
    QFETCH(QByteArray, readBack);

    const ValueFormat f = format(type, regSize, valSize, order);
    QCOMPARE(checkFormat(f, CodecDirection::Write), FormatCheck::Ok);
    QVector<RegValsElement> values;
    QVERIFY(parseRegVals(regVals, &values));
    QVector<quint16> units;
    QCOMPARE(encodeValues(values, count, f, &units), ValuesCheck::Ok);
    QCOMPARE(units.size(), unitCount(f, count));
    if (words != QLatin1String("-"))
        QCOMPARE(hexUnits(units), words);
    QCOMPARE(decodeValues(units, count, f), readBack);
}

// The checks in the order the engine answers them, and the registers asked for 10 values.
void TestCodec::formats_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<int>("regSize");
    QTest::addColumn<int>("valSize");
    QTest::addColumn<int>("floatPrec");
    QTest::addColumn<QByteArray>("order");
    QTest::addColumn<bool>("read");
    QTest::addColumn<FormatCheck>("check");
    QTest::addColumn<int>("registers");

    using C = FormatCheck;
    QTest::newRow("int16") << "int" << 16 << 16 << 2 << QByteArray() << true << C::Ok << 10;
    QTest::newRow("int64") << "int" << 16 << 64 << 2 << QByteArray() << true << C::Ok << 40;
    QTest::newRow("uint64") << "uint" << 16 << 64 << 2 << QByteArray("DCBA") << false << C::Ok << 40;
    QTest::newRow("double") << "float" << 16 << 64 << 20 << QByteArray() << true << C::Ok << 40;
    QTest::newRow("float on 16-bit registers") << "float" << 16 << 32 << 2 << QByteArray() << true << C::Ok << 20;
    QTest::newRow("float on 32-bit registers") << "float" << 32 << 32 << 2 << QByteArray() << true << C::Ok << 10;
    QTest::newRow("ascii") << "ascii" << 16 << 16 << 2 << QByteArray("BADC") << true << C::Ok << 10;
    QTest::newRow("hex") << "hex" << 16 << 16 << 2 << QByteArray() << false << C::Ok << 10;
    QTest::newRow("order on a 16-bit value") << "uint" << 16 << 16 << 2 << QByteArray("CDAB") << true << C::Ok << 10;
    QTest::newRow("long written as 16 bits") << "long" << 16 << 16 << 2 << QByteArray() << false << C::Ok << 10;
    QTest::newRow("register size first") << "int" << 24 << 64 << 2 << QByteArray("x") << true << C::RegisterSize << 10;
    QTest::newRow("long has no 64") << "long" << 16 << 64 << 2 << QByteArray() << true << C::ValueSize << 40;
    QTest::newRow("float1234 has no 64") << "float1234" << 16 << 64 << 2 << QByteArray() << true << C::ValueSize << 40;
    QTest::newRow("ascii has no 64") << "ascii" << 16 << 64 << 2 << QByteArray() << true << C::ValueSize << 40;
    QTest::newRow("64 needs 16-bit registers") << "int" << 32 << 64 << 2 << QByteArray() << true << C::ValueSize << 10;
    QTest::newRow("precision before value fit")
            << "float" << 16 << 16 << 21 << QByteArray() << true << C::FloatPrecision << 10;
    QTest::newRow("precision -1") << "int" << 16 << 16 << -1 << QByteArray("x") << true << C::FloatPrecision << 10;
    QTest::newRow("precision not for writes") << "int" << 16 << 16 << -1 << QByteArray() << false << C::Ok << 10;
    QTest::newRow("float needs 32 or 64") << "float" << 16 << 16 << 2 << QByteArray() << true << C::OneValueSize << 10;
    QTest::newRow("long read needs 32") << "long" << 16 << 16 << 2 << QByteArray() << true << C::OneValueSize << 10;
    QTest::newRow("32-bit registers, 16-bit values")
            << "int" << 32 << 16 << 2 << QByteArray() << true << C::OneValueSize << 10;
    QTest::newRow("ascii counts registers")
            << "ascii" << 16 << 32 << 2 << QByteArray() << true << C::OneValueSize << 20;
    QTest::newRow("hex on 32-bit registers")
            << "hex" << 32 << 32 << 2 << QByteArray() << false << C::OneValueSize << 10;
    QTest::newRow("order name unknown") << "int" << 16 << 32 << 2 << QByteArray("XYZW") << true << C::ByteOrderName
                                        << 20;
    QTest::newRow("order name is case-sensitive")
            << "float" << 16 << 32 << 2 << QByteArray("abcd") << false << C::ByteOrderName << 20;
}

void TestCodec::formats()
{
    QFETCH(QString, type);
    QFETCH(int, regSize);
    QFETCH(int, valSize);
    QFETCH(int, floatPrec);
    QFETCH(QByteArray, order);
    QFETCH(bool, read);
    QFETCH(FormatCheck, check);
    QFETCH(int, registers);
    const ValueFormat f = format(type, regSize, valSize, order, floatPrec);
    QCOMPARE(checkFormat(f, read ? CodecDirection::Read : CodecDirection::Write), check);
    QCOMPARE(registerCount(f, 10), registers);
}

void TestCodec::refusedValues_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<int>("count");
    QTest::addColumn<QString>("regVals");
    QTest::addColumn<ValuesCheck>("check");

    const ValuesCheck error = ValuesCheck::ValuesError;
    QTest::newRow("ascii fits") << "ascii" << 2 << "['Brio']" << ValuesCheck::Ok;
    QTest::newRow("ascii too long") << "ascii" << 2 << "['Brio!']" << error;
    QTest::newRow("ascii beyond Latin-1") << "ascii" << 2 << QString::fromUtf8("['\u20AC']") << error;
    QTest::newRow("ascii number") << "ascii" << 2 << "[12]" << error;
    QTest::newRow("ascii two texts") << "ascii" << 2 << "['a','b']" << error;
    QTest::newRow("ascii none") << "ascii" << 2 << "[]" << error;
    QTest::newRow("hex five digits") << "hex" << 1 << "['12345']" << error;
    QTest::newRow("hex not hex") << "hex" << 1 << "['12g4']" << error;
    QTest::newRow("hex blank inside") << "hex" << 1 << "['1 2']" << error;
    QTest::newRow("hex signed") << "hex" << 1 << "['-1']" << error;
    QTest::newRow("hex empty") << "hex" << 1 << "['']" << error;
    QTest::newRow("hex bare 0x") << "hex" << 1 << "['0x']" << error;
    QTest::newRow("hex number") << "hex" << 1 << "[4660]" << error;
    QTest::newRow("count") << "int" << 3 << "[1,2]" << error;
}

void TestCodec::refusedValues()
{
    QFETCH(QString, type);
    QFETCH(int, count);
    QFETCH(QString, regVals);
    QFETCH(ValuesCheck, check);
    QVector<RegValsElement> values;
    QVERIFY(parseRegVals(regVals, &values));
    QVector<quint16> units;
    QCOMPARE(encodeValues(values, count, format(type, 16, 16, QByteArray()), &units), check);
}

QTEST_APPLESS_MAIN(TestCodec)
#include "tst_codec.moc"
