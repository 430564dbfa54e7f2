#include "registercodec.h"

#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <locale.h>

namespace {

enum class DecodeRow {
    FloatSwappedShort, // float4321/16, float1234/32
    FloatFixed, // float1234/16, float4321/32
    LongSwapped, // long/16
    Int16,
    Int32,
    Uint32,
    Uint16
};

enum class EncodeRow { FloatSwapped, Float, Int32, Uint32, Low16 };

// The one place that pairs the float names with the register width: the
// word-order names swap their meaning between 16- and 32-bit registers.
DecodeRow decodeRow(const QString &regType, int regSize, int valSize)
{
    const bool f4321 = regType == QLatin1String("float4321");
    const bool f1234 = regType == QLatin1String("float1234");
    if ((f4321 && regSize == 16) || (f1234 && regSize == 32))
        return DecodeRow::FloatSwappedShort;
    if ((f1234 && regSize == 16) || (f4321 && regSize == 32))
        return DecodeRow::FloatFixed;
    if (regType == QLatin1String("long") && regSize == 16)
        return DecodeRow::LongSwapped;
    if (regType == QLatin1String("int") && valSize == 16)
        return DecodeRow::Int16;
    if (regType == QLatin1String("int") && valSize == 32)
        return DecodeRow::Int32;
    if (regType == QLatin1String("uint") && valSize == 32)
        return DecodeRow::Uint32;
    return DecodeRow::Uint16;
}

// Writing mirrors reading row for row, except that long and the 16-bit
// types all write the low 16 bits.
EncodeRow encodeRow(const QString &regType, int regSize, int valSize)
{
    switch (decodeRow(regType, regSize, valSize)) {
    case DecodeRow::FloatSwappedShort: return EncodeRow::FloatSwapped;
    case DecodeRow::FloatFixed: return EncodeRow::Float;
    case DecodeRow::Int32: return EncodeRow::Int32;
    case DecodeRow::Uint32: return EncodeRow::Uint32;
    case DecodeRow::LongSwapped:
    case DecodeRow::Int16:
    case DecodeRow::Uint16: break;
    }
    return EncodeRow::Low16;
}

bool decodeUsesWords(DecodeRow row)
{
    return row != DecodeRow::Int16 && row != DecodeRow::Uint16;
}

quint32 swapHalves(quint32 w)
{
    return (w << 16) | (w >> 16);
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

} // namespace

int registerCount(int valuesCnt, int regSize, int valSize)
{
    if (valuesCnt <= 0)
        return 0;
    return (valSize == 32 && regSize == 16) ? valuesCnt * 2 : valuesCnt;
}

int unitCount(int valuesCnt, int regSize, int valSize)
{
    const int count = registerCount(valuesCnt, regSize, valSize);
    return regSize == 32 ? count * 2 : count;
}

bool needsWholeWords(const QString &regType, int regSize, int valSize, CodecDirection direction)
{
    if (regSize == 32 || valSize == 32)
        return false;
    if (direction == CodecDirection::Read)
        return decodeUsesWords(decodeRow(regType, regSize, valSize));
    return encodeRow(regType, regSize, valSize) != EncodeRow::Low16;
}

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

QByteArray decodeRegisters(const QVector<quint16> &units, int valuesCnt, const QString &regType, int regSize,
                           int valSize, int floatPrec)
{
    if (valuesCnt <= 0)
        return QByteArrayLiteral("[]");
    const DecodeRow row = decodeRow(regType, regSize, valSize);
    const qint64 needed = decodeUsesWords(row) ? qint64(valuesCnt) * 2 : qint64(valuesCnt);
    if (units.size() < needed)
        return QByteArray();

    QByteArray out;
    out.reserve(valuesCnt * 8 + 2);
    out += '[';
    for (int i = 0; i < valuesCnt; ++i) {
        if (i > 0)
            out += ',';
        const quint32 word = decodeUsesWords(row) ? quint32(units.at(2 * i)) | (quint32(units.at(2 * i + 1)) << 16) : 0;
        switch (row) {
        case DecodeRow::FloatSwappedShort: {
            const double v = floatFromBits(swapHalves(word));
            // Intended, not a slip: exactly 1e8 is written in the fixed form
            // ("100000000.00"), as the browser pages have always received it.
            out += v == 100000000.0 ? formatFloatFixed(v, floatPrec) : formatFloatShort(v);
            break;
        }
        case DecodeRow::FloatFixed: out += formatFloatFixed(floatFromBits(word), floatPrec); break;
        case DecodeRow::LongSwapped: out += QByteArray::number(swapHalves(word)); break;
        case DecodeRow::Int16: out += QByteArray::number(qint16(units.at(i))); break;
        case DecodeRow::Int32: out += QByteArray::number(qint32(word)); break;
        case DecodeRow::Uint32: out += QByteArray::number(word); break;
        case DecodeRow::Uint16: out += QByteArray::number(units.at(i)); break;
        }
    }
    out += ']';
    return out;
}

bool encodeRegisters(const QVector<RegValsElement> &values, const QString &regType, int regSize, int valSize,
                     QVector<quint16> *units)
{
    if (!units)
        return false;
    const int n = values.size();
    units->fill(0, unitCount(n, regSize, valSize));
    const EncodeRow row = encodeRow(regType, regSize, valSize);
    if (row != EncodeRow::Low16 && units->size() < qint64(n) * 2)
        return false;

    for (int i = 0; i < n; ++i) {
        const RegValsElement &v = values.at(i);
        quint32 word = 0;
        switch (row) {
        case EncodeRow::FloatSwapped: word = swapHalves(bitsFromFloat(regValToFloat(v))); break;
        case EncodeRow::Float: word = bitsFromFloat(regValToFloat(v)); break;
        case EncodeRow::Int32: word = quint32(regValToInt32(v)); break;
        case EncodeRow::Uint32: word = regValToUint32(v); break;
        case EncodeRow::Low16: (*units)[i] = quint16(quint32(regValToInt32(v)) & 0xFFFF); continue;
        }
        (*units)[2 * i] = quint16(word & 0xFFFF);
        (*units)[2 * i + 1] = quint16(word >> 16);
    }
    return true;
}
