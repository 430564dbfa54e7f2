// The register codec: decoding arbitrary register contents and encoding
// arbitrary value lists, checked against the read/write table and the
// promise that a value within its type's range reads back as written.
// Input: regType, regSize, valSize, floatPrec, valuesCnt and a mode byte
// (bit 0: raw doubles instead of regVals text; bits 1-3: byte order), then
// the payload (register units for decoding; for encoding either regVals
// text or raw doubles, as the mode says).

#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QString>
#include <QVector>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "fuzzsupport.h"
#include "registercodec.h"
#include "regvalsparser.h"

namespace {

const char *const regTypes[] = {"int", "uint", "long", "float1234", "float4321", "float", "ascii", "hex", "x", ""};
const int sizes[] = {16, 32, 16, 32, 8, 0, -1, 64};
const int counts[] = {0, -1, INT_MIN, INT_MAX, 200, 201, 4096, 1 << 28};
const ByteOrder orders[] = {ByteOrder::Native, ByteOrder::ABCD, ByteOrder::CDAB,
                            ByteOrder::BADC,   ByteOrder::DCBA, ByteOrder::Invalid};

// Units one value takes, by the read table.
int unitsPerValue(const ValueFormat &f)
{
    switch (f.type) {
    case ValueType::Ascii:
    case ValueType::Hex:
    case ValueType::Plain: return 1;
    case ValueType::Float: return f.valSize == 64 ? 4 : 2;
    case ValueType::Float1234:
    case ValueType::Float4321: return f.regSize == 16 || f.regSize == 32 ? 2 : 1;
    case ValueType::Long: return f.regSize == 16 ? 2 : 1;
    case ValueType::Int:
    case ValueType::Uint: return f.valSize == 64 ? 4 : f.valSize == 32 ? 2 : 1;
    }
    return 1;
}

bool isFloat(ValueType t)
{
    return t == ValueType::Float || t == ValueType::Float1234 || t == ValueType::Float4321;
}

QJsonArray decodedArray(const QByteArray &text)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(text, &error);
    FUZZ_CHECK(error.error == QJsonParseError::NoError);
    FUZZ_CHECK(doc.isArray());
    return doc.array();
}

void checkDecode(const QVector<quint16> &units, int valuesCnt, const ValueFormat &f)
{
    const QByteArray text = decodeValues(units, valuesCnt, f);
    if (valuesCnt <= 0) {
        FUZZ_CHECK(text == "[]");
        return;
    }
    if (units.size() < qint64(valuesCnt) * unitsPerValue(f)) {
        FUZZ_CHECK(text.isEmpty());
        return;
    }
    const QJsonArray values = decodedArray(text);
    if (f.type == ValueType::Ascii) {
        FUZZ_CHECK(values.size() == 1 && values.at(0).isString());
        const QString s = values.at(0).toString();
        FUZZ_CHECK(s.size() <= 2 * valuesCnt && !s.endsWith(QChar(0)));
        for (const QChar c : s)
            FUZZ_CHECK(c.unicode() <= 0xFF);
        for (const char c : text)
            FUZZ_CHECK(uchar(c) >= 0x20 && uchar(c) < 0x7F);
        return;
    }
    FUZZ_CHECK(values.size() == valuesCnt);
    static const QRegularExpression hexWord(QStringLiteral("^[0-9A-F]{4}$"));
    for (const QJsonValue &v : values) {
        if (f.type == ValueType::Hex)
            FUZZ_CHECK(v.isString() && hexWord.match(v.toString()).hasMatch());
        else
            FUZZ_CHECK(v.isDouble() || (isFloat(f.type) && v.isNull()));
    }
}

bool integral(double d, double low, double high)
{
    return std::isfinite(d) && std::trunc(d) == d && d >= low && d <= high;
}

// The text a value within its type's range must read back as.
bool exactWant(const RegValsElement &e, bool sign, int bits, QByteArray *text)
{
    const double d = regValToNumber(e);
    if (bits == 64) {
        if (e.kind == RegValsElement::Number && e.exactInteger) {
            const bool negative = std::signbit(e.number) && e.magnitude != 0;
            const quint64 limit = sign ? (negative ? quint64(1) << 63 : (quint64(1) << 63) - 1) : ~quint64(0);
            if ((negative && !sign) || e.magnitude > limit)
                return false;
            *text = negative ? "-" + QByteArray::number(e.magnitude) : QByteArray::number(e.magnitude);
            return true;
        }
        if (e.kind != RegValsElement::Number
            || !integral(d, sign ? -9223372036854775808.0 : 0, sign ? 9223372036854774784.0 : 18446744073709549568.0))
            return false;
        *text = sign ? QByteArray::number(qint64(d)) : QByteArray::number(quint64(d));
        return true;
    }
    const double low = sign ? -std::ldexp(1.0, bits - 1) : 0;
    const double high = sign ? std::ldexp(1.0, bits - 1) - 1 : std::ldexp(1.0, bits) - 1;
    if (!integral(d, low, high))
        return false;
    *text = QByteArray::number(qint64(d));
    return true;
}

void checkRoundTrip(const QVector<RegValsElement> &values, const ValueFormat &writeFormat)
{
    ValueFormat f = writeFormat;
    f.floatPrec = 20;
    const bool ascii = f.type == ValueType::Ascii;
    const int count = ascii ? 8 : values.size();
    QVector<quint16> units;
    const ValuesCheck check = encodeValues(values, count, f, &units);
    FUZZ_CHECK(units.size() == unitCount(f, count));
    if (checkFormat(f, CodecDirection::Write) != FormatCheck::Ok || values.isEmpty())
        return;
    if (ascii) {
        const bool fits = values.size() == 1 && values.at(0).kind == RegValsElement::String
                && values.at(0).text.size() <= 16
                && std::all_of(values.at(0).text.begin(), values.at(0).text.end(),
                               [](QChar c) { return c.unicode() <= 0xFF; });
        FUZZ_CHECK((check == ValuesCheck::Ok) == fits);
        if (!fits)
            return;
        QString want = values.at(0).text;
        while (want.endsWith(QChar(0)))
            want.chop(1);
        const QJsonArray read = decodedArray(decodeValues(units, count, f));
        FUZZ_CHECK(read.size() == 1 && read.at(0).toString() == want);
        return;
    }
    if (f.type == ValueType::Hex) {
        if (check != ValuesCheck::Ok)
            return;
        const QJsonArray read = decodedArray(decodeValues(units, count, f));
        for (int i = 0; i < values.size(); ++i) {
            QString t = values.at(i).text.trimmed();
            if (t.startsWith(QLatin1String("0x"), Qt::CaseInsensitive))
                t = t.mid(2);
            FUZZ_CHECK(read.at(i).toString() == t.rightJustified(4, QLatin1Char('0')).toUpper());
        }
        return;
    }
    FUZZ_CHECK(check == ValuesCheck::Ok);
    if (f.type == ValueType::Long)
        return;

    const QByteArray text = decodeValues(units, count, f);
    const QJsonArray read = decodedArray(text);
    const QList<QByteArray> tokens = text.mid(1, text.size() - 2).split(',');
    FUZZ_CHECK(read.size() == values.size() && tokens.size() == values.size());
    const bool shortForm =
            (f.type == ValueType::Float4321 && f.regSize == 16) || (f.type == ValueType::Float1234 && f.regSize == 32);
    for (int i = 0; i < values.size(); ++i) {
        const RegValsElement &v = values.at(i);
        if (isFloat(f.type)) {
            const double got = read.at(i).toDouble();
            const double want = f.valSize == 64 ? regValToDouble(v) : double(regValToFloat(v));
            const double slack =
                    shortForm && want != 100000000.0 ? std::fabs(want) * 1e-5 : 1e-20 + std::fabs(want) * 1e-15;
            FUZZ_CHECK(std::fabs(got - want) <= slack);
            continue;
        }
        const bool sign = f.type == ValueType::Int;
        const int bits = f.type == ValueType::Plain ? 16 : f.valSize;
        QByteArray want;
        if (exactWant(v, sign, bits, &want))
            FUZZ_CHECK(tokens.at(i) == want);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    silenceQtMessages();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 6)
        return 0;
    ValueFormat f;
    f.type = valueTypeFromName(QLatin1String(regTypes[data[0] % (sizeof regTypes / sizeof regTypes[0])]));
    f.regSize = sizes[data[1] % (sizeof sizes / sizeof sizes[0])];
    f.valSize = sizes[data[2] % (sizeof sizes / sizeof sizes[0])];
    f.floatPrec = int(int8_t(data[3]));
    const int valuesCnt = data[4] < 0xF0 ? data[4] : counts[data[4] % (sizeof counts / sizeof counts[0])];
    const uint8_t mode = data[5];
    f.byteOrder = orders[(mode >> 1) % (sizeof orders / sizeof orders[0])];
    const uint8_t *payload = data + 6;
    const size_t payloadSize = size - 6;

    QVector<quint16> units(int(payloadSize / 2));
    if (!units.isEmpty())
        std::memcpy(units.data(), payload, size_t(units.size()) * 2);
    checkDecode(units, valuesCnt, f);
    // The string-typed form is the same decoder with the native order.
    if (f.byteOrder == ByteOrder::Native && f.type != ValueType::Float && f.type != ValueType::Ascii
        && f.type != ValueType::Hex)
        FUZZ_CHECK(decodeRegisters(units, valuesCnt,
                                   QLatin1String(regTypes[data[0] % (sizeof regTypes / sizeof regTypes[0])]), f.regSize,
                                   f.valSize, f.floatPrec)
                   == decodeValues(units, valuesCnt, f));

    QVector<RegValsElement> values;
    if (mode & 1) {
        for (size_t at = 0; at + sizeof(double) <= payloadSize; at += sizeof(double)) {
            RegValsElement element;
            std::memcpy(&element.number, payload + at, sizeof(double));
            values.append(element);
        }
    } else if (!parseRegVals(QString::fromUtf8(reinterpret_cast<const char *>(payload), int(payloadSize)), &values)) {
        return 0;
    }
    checkRoundTrip(values, f);
    return 0;
}
