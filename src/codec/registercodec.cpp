#include "registercodec.h"

#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <locale.h>

#include "jsontext.h"
#include "valuerow.h"

namespace {

quint16 swapBytes(quint16 w)
{
    return quint16((w << 8) | (w >> 8));
}

bool swapsBytes(ByteOrder order)
{
    return order == ByteOrder::BADC || order == ByteOrder::DCBA;
}

bool swapsWords(ByteOrder order)
{
    return order == ByteOrder::CDAB || order == ByteOrder::DCBA;
}

// Wire word j of the value starting at unit `at`: a 32-bit register comes
// high half first on the wire but is kept low half first.
int unitOfWireWord(int at, int j, bool wideRegisters)
{
    return at + (wideRegisters ? j ^ 1 : j);
}

// Each byte order is its own inverse, so reading and writing share it:
// wire word j holds value word j, or word n-1-j when the words are reversed.
quint64 readBits(const QVector<quint16> &units, int at, int words, bool wideRegisters, ByteOrder order)
{
    quint64 bits = 0;
    for (int j = 0; j < words; ++j) {
        const int wire = swapsWords(order) ? words - 1 - j : j;
        quint16 w = units.at(unitOfWireWord(at, wire, wideRegisters));
        if (swapsBytes(order))
            w = swapBytes(w);
        bits = (bits << 16) | w;
    }
    return bits;
}

void writeBits(quint64 bits, int at, int words, bool wideRegisters, ByteOrder order, QVector<quint16> *units)
{
    for (int j = words - 1; j >= 0; --j) {
        quint16 w = quint16(bits & 0xFFFF);
        bits >>= 16;
        if (swapsBytes(order))
            w = swapBytes(w);
        const int wire = swapsWords(order) ? words - 1 - j : j;
        (*units)[unitOfWireWord(at, wire, wideRegisters)] = w;
    }
}

float floatFromBits(quint32 bits)
{
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

quint32 bitsFromFloat(float f)
{
    quint32 bits;
    std::memcpy(&bits, &f, sizeof bits);
    return bits;
}

double doubleFromBits(quint64 bits)
{
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}

quint64 bitsFromDouble(double d)
{
    quint64 bits;
    std::memcpy(&bits, &d, sizeof bits);
    return bits;
}

// printf with the C locale on this thread only: the GUI application adopts
// the user's LC_NUMERIC, which would turn the decimal point into a comma.
QByteArray cFormat(const char *format, int precision, double value)
{
    static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", locale_t(nullptr));
    const locale_t previous = uselocale(cLocale);
    char buffer[128];
    const int n = std::snprintf(buffer, sizeof buffer, format, precision, value);
    QByteArray out;
    if (n >= 0 && n < int(sizeof buffer)) {
        out = QByteArray(buffer, n);
    } else if (n > 0) {
        out.resize(n);
        std::snprintf(out.data(), size_t(n) + 1, format, precision, value);
    }
    uselocale(previous);
    return out;
}

QByteArray asciiText(const QVector<quint16> &units, int count, ByteOrder order)
{
    QByteArray text;
    text.reserve(count * 2);
    for (int i = 0; i < count; ++i) {
        const quint16 w = swapsBytes(order) ? swapBytes(units.at(i)) : units.at(i);
        text += char(w >> 8);
        text += char(w & 0xFF);
    }
    while (!text.isEmpty() && text.endsWith('\0'))
        text.chop(1);
    return "[\"" + jsonEscapeLatin1(text) + "\"]";
}

QByteArray hexWord(quint16 w)
{
    static const char digits[] = "0123456789ABCDEF";
    const char text[] = {'"', digits[w >> 12], digits[(w >> 8) & 0xF], digits[(w >> 4) & 0xF], digits[w & 0xF], '"'};
    return QByteArray(text, sizeof text);
}

bool encodeAscii(const RegValsElement &value, int registers, ByteOrder order, QVector<quint16> *units)
{
    if (value.kind != RegValsElement::String || value.text.size() > qint64(registers) * 2)
        return false;
    for (int i = 0; i < value.text.size(); ++i) {
        const ushort c = value.text.at(i).unicode();
        if (c > 0xFF)
            return false;
        // High byte first; a byte-swapping order puts it low.
        const bool high = (i % 2 == 0) != swapsBytes(order);
        (*units)[i / 2] |= high ? quint16(c << 8) : quint16(c);
    }
    return true;
}

// 1 to 4 hex digits, an optional 0x before them; blanks around are allowed.
bool readHexWord(const RegValsElement &value, quint16 *word)
{
    if (value.kind != RegValsElement::String)
        return false;
    QString t = value.text.trimmed();
    if (t.startsWith(QLatin1String("0x"), Qt::CaseInsensitive))
        t = t.mid(2);
    if (t.isEmpty() || t.size() > 4)
        return false;
    quint16 v = 0;
    for (const QChar ch : t) {
        const ushort c = ch.unicode();
        int digit = -1;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if ((c | 0x20) >= 'a' && (c | 0x20) <= 'f')
            digit = (c | 0x20) - 'a' + 10;
        if (digit < 0)
            return false;
        v = quint16((v << 4) | digit);
    }
    *word = v;
    return true;
}

ValueType legacyType(const QString &regType)
{
    const ValueType type = valueTypeFromName(regType);
    return type == ValueType::Float || type == ValueType::Ascii || type == ValueType::Hex ? ValueType::Plain : type;
}

ValueFormat legacyFormat(const QString &regType, int regSize, int valSize, int floatPrec = 2)
{
    ValueFormat f;
    f.type = legacyType(regType);
    f.regSize = regSize;
    f.valSize = valSize;
    f.floatPrec = floatPrec;
    return f;
}

} // namespace

QByteArray formatFloatShort(double value)
{
    if (!std::isfinite(value))
        return QByteArrayLiteral("null");
    return cFormat("%.*g", 6, value);
}

QByteArray formatFloatFixed(double value, int precision)
{
    if (!std::isfinite(value))
        return QByteArrayLiteral("null");
    return cFormat("%.*f", qBound(0, precision, 100), value);
}

QByteArray decodeValues(const QVector<quint16> &units, int valuesCnt, const ValueFormat &format)
{
    if (valuesCnt <= 0)
        return QByteArrayLiteral("[]");
    const ValueLayout layout = valueLayout(format, CodecDirection::Read);
    const int words = unitsPerValue(layout.row);
    if (units.size() < qint64(valuesCnt) * words)
        return QByteArray();
    if (layout.row == ValueRow::Ascii)
        return asciiText(units, valuesCnt, layout.order);

    const bool wide = format.regSize == 32;
    QByteArray out;
    out.reserve(valuesCnt * 8 + 2);
    out += '[';
    for (int i = 0; i < valuesCnt; ++i) {
        if (i > 0)
            out += ',';
        const quint64 bits = words > 1 ? readBits(units, i * words, words, wide, layout.order) : units.at(i);
        switch (layout.row) {
        case ValueRow::FloatShort: {
            const double v = floatFromBits(quint32(bits));
            // Intended, not a slip: exactly 1e8 is written in the fixed form
            // ("100000000.00"), as the browser pages have always received it.
            out += v == 100000000.0 ? formatFloatFixed(v, format.floatPrec) : formatFloatShort(v);
            break;
        }
        case ValueRow::FloatFixed: out += formatFloatFixed(floatFromBits(quint32(bits)), format.floatPrec); break;
        case ValueRow::Double: out += formatFloatFixed(doubleFromBits(bits), format.floatPrec); break;
        case ValueRow::Signed16: out += QByteArray::number(qint16(bits)); break;
        case ValueRow::Signed32: out += QByteArray::number(qint32(bits)); break;
        case ValueRow::Signed64: out += QByteArray::number(qint64(bits)); break;
        case ValueRow::Unsigned16:
        case ValueRow::Unsigned32:
        case ValueRow::Unsigned64: out += QByteArray::number(bits); break;
        case ValueRow::Hex: out += hexWord(quint16(bits)); break;
        case ValueRow::Ascii: break;
        }
    }
    out += ']';
    return out;
}

bool decodeNumbers(const QVector<quint16> &units, int valuesCnt, const ValueFormat &format, QVector<double> *values)
{
    values->clear();
    const ValueLayout layout = valueLayout(format, CodecDirection::Read);
    const int words = unitsPerValue(layout.row);
    if (valuesCnt < 0 || units.size() < qint64(valuesCnt) * words || layout.row == ValueRow::Ascii
        || layout.row == ValueRow::Hex)
        return false;
    const bool wide = format.regSize == 32;
    values->reserve(valuesCnt);
    for (int i = 0; i < valuesCnt; ++i) {
        const quint64 bits = words > 1 ? readBits(units, i * words, words, wide, layout.order) : units.at(i);
        switch (layout.row) {
        case ValueRow::FloatShort:
        case ValueRow::FloatFixed: values->append(double(floatFromBits(quint32(bits)))); break;
        case ValueRow::Double: values->append(doubleFromBits(bits)); break;
        case ValueRow::Signed16: values->append(qint16(bits)); break;
        case ValueRow::Signed32: values->append(qint32(bits)); break;
        case ValueRow::Signed64: values->append(double(qint64(bits))); break;
        case ValueRow::Unsigned16:
        case ValueRow::Unsigned32:
        case ValueRow::Unsigned64: values->append(double(bits)); break;
        case ValueRow::Ascii:
        case ValueRow::Hex: break;
        }
    }
    return true;
}

ValuesCheck encodeValues(const QVector<RegValsElement> &values, int valuesCnt, const ValueFormat &format,
                         QVector<quint16> *units)
{
    if (!units)
        return ValuesCheck::OneValueSize;
    units->fill(0, unitCount(format, valuesCnt));
    const ValueLayout layout = valueLayout(format, CodecDirection::Write);
    if (layout.row == ValueRow::Ascii) {
        if (values.size() != 1 || !encodeAscii(values.first(), qMin(valuesCnt, units->size()), layout.order, units))
            return ValuesCheck::ValuesError;
        return ValuesCheck::Ok;
    }
    if (values.size() != valuesCnt)
        return ValuesCheck::ValuesError;
    const int words = unitsPerValue(layout.row);
    if (units->size() < qint64(values.size()) * words)
        return ValuesCheck::OneValueSize;

    const bool wide = format.regSize == 32;
    for (int i = 0; i < values.size(); ++i) {
        const RegValsElement &v = values.at(i);
        quint64 bits = 0;
        switch (layout.row) {
        case ValueRow::FloatShort:
        case ValueRow::FloatFixed: bits = bitsFromFloat(regValToFloat(v)); break;
        case ValueRow::Double: bits = bitsFromDouble(regValToDouble(v)); break;
        case ValueRow::Signed32:
        case ValueRow::Unsigned32: bits = regValToUint32(v); break;
        case ValueRow::Signed64:
        case ValueRow::Unsigned64: bits = regValToUint64(v); break;
        case ValueRow::Signed16:
        case ValueRow::Unsigned16: (*units)[i] = quint16(regValToUint32(v) & 0xFFFF); continue;
        case ValueRow::Hex: {
            quint16 w = 0;
            if (!readHexWord(v, &w))
                return ValuesCheck::ValuesError;
            (*units)[i] = w;
            continue;
        }
        case ValueRow::Ascii: break;
        }
        writeBits(bits, i * words, words, wide, layout.order, units);
    }
    return ValuesCheck::Ok;
}

int registerCount(int valuesCnt, int regSize, int valSize)
{
    return registerCount(legacyFormat(QString(), regSize, valSize), valuesCnt);
}

int unitCount(int valuesCnt, int regSize, int valSize)
{
    return unitCount(legacyFormat(QString(), regSize, valSize), valuesCnt);
}

bool needsWholeWords(const QString &regType, int regSize, int valSize, CodecDirection direction)
{
    if (regSize == 32 || valSize == 32)
        return false;
    return unitsPerValue(valueLayout(legacyFormat(regType, regSize, valSize), direction).row) > 1;
}

QByteArray decodeRegisters(const QVector<quint16> &units, int valuesCnt, const QString &regType, int regSize,
                           int valSize, int floatPrec)
{
    return decodeValues(units, valuesCnt, legacyFormat(regType, regSize, valSize, floatPrec));
}

bool encodeRegisters(const QVector<RegValsElement> &values, const QString &regType, int regSize, int valSize,
                     QVector<quint16> *units)
{
    return encodeValues(values, values.size(), legacyFormat(regType, regSize, valSize), units) == ValuesCheck::Ok;
}
