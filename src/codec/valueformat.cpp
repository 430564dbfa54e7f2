#include "valueformat.h"

#include "valuerow.h"

#include <climits>

namespace {

// The older types each keep the word order they have always had; the word
// order names swap their meaning between 16- and 32-bit registers.
ValueLayout nativeLayout(const ValueFormat &f, CodecDirection direction)
{
    const bool wide = f.regSize == 32;
    const bool narrow = f.regSize == 16;
    switch (f.type) {
    case ValueType::Ascii: return {ValueRow::Ascii, ByteOrder::ABCD};
    case ValueType::Hex: return {ValueRow::Hex, ByteOrder::ABCD};
    case ValueType::Float: return {f.valSize == 64 ? ValueRow::Double : ValueRow::FloatFixed, ByteOrder::ABCD};
    case ValueType::Float4321:
        if (narrow)
            return {ValueRow::FloatShort, ByteOrder::ABCD};
        if (wide)
            return {ValueRow::FloatFixed, ByteOrder::ABCD};
        break;
    case ValueType::Float1234:
        if (narrow)
            return {ValueRow::FloatFixed, ByteOrder::CDAB};
        if (wide)
            return {ValueRow::FloatShort, ByteOrder::CDAB};
        break;
    case ValueType::Long:
        // Written, long is its low 16 bits like any 16-bit type.
        if (narrow && direction == CodecDirection::Read)
            return {ValueRow::Unsigned32, ByteOrder::ABCD};
        break;
    case ValueType::Int:
    case ValueType::Uint: {
        const bool sign = f.type == ValueType::Int;
        if (f.valSize == 16 && sign)
            return {ValueRow::Signed16, ByteOrder::ABCD};
        if (f.valSize == 32)
            return {sign ? ValueRow::Signed32 : ValueRow::Unsigned32, wide ? ByteOrder::ABCD : ByteOrder::CDAB};
        if (f.valSize == 64)
            return {sign ? ValueRow::Signed64 : ValueRow::Unsigned64, ByteOrder::ABCD};
        break;
    }
    case ValueType::Plain: break;
    }
    return {ValueRow::Unsigned16, ByteOrder::ABCD};
}

bool takesWholeWords(const ValueFormat &f, CodecDirection direction)
{
    return unitsPerValue(valueLayout(f, direction).row) > 1;
}

} // namespace

ValueLayout valueLayout(const ValueFormat &format, CodecDirection direction)
{
    ValueLayout layout = nativeLayout(format, direction);
    if (format.byteOrder != ByteOrder::Native && format.byteOrder != ByteOrder::Invalid)
        layout.order = format.byteOrder;
    return layout;
}

int unitsPerValue(ValueRow row)
{
    switch (row) {
    case ValueRow::Unsigned32:
    case ValueRow::Signed32:
    case ValueRow::FloatShort:
    case ValueRow::FloatFixed: return 2;
    case ValueRow::Unsigned64:
    case ValueRow::Signed64:
    case ValueRow::Double: return 4;
    case ValueRow::Unsigned16:
    case ValueRow::Signed16:
    case ValueRow::Ascii:
    case ValueRow::Hex: break;
    }
    return 1;
}

ValueType valueTypeFromName(const QString &name)
{
    static const struct
    {
        const char *name;
        ValueType type;
    } names[] = {{"int", ValueType::Int},
                 {"uint", ValueType::Uint},
                 {"long", ValueType::Long},
                 {"float1234", ValueType::Float1234},
                 {"float4321", ValueType::Float4321},
                 {"float", ValueType::Float},
                 {"ascii", ValueType::Ascii},
                 {"hex", ValueType::Hex}};
    for (const auto &n : names) {
        if (name == QLatin1String(n.name))
            return n.type;
    }
    return ValueType::Plain;
}

ByteOrder byteOrderFromName(const QByteArray &name)
{
    if (name == "ABCD")
        return ByteOrder::ABCD;
    if (name == "CDAB")
        return ByteOrder::CDAB;
    if (name == "BADC")
        return ByteOrder::BADC;
    if (name == "DCBA")
        return ByteOrder::DCBA;
    return ByteOrder::Invalid;
}

FormatCheck checkFormat(const ValueFormat &f, CodecDirection direction)
{
    if (f.regSize != 16 && f.regSize != 32)
        return FormatCheck::RegisterSize;
    const bool wideType = f.type == ValueType::Int || f.type == ValueType::Uint || f.type == ValueType::Float;
    if (f.valSize != 16 && f.valSize != 32 && !(f.valSize == 64 && wideType && f.regSize == 16))
        return FormatCheck::ValueSize;
    if (direction == CodecDirection::Read && static_cast<unsigned int>(f.floatPrec) > 20)
        return FormatCheck::FloatPrecision;
    if (f.valSize == 16 && (f.regSize == 32 || takesWholeWords(f, direction)))
        return FormatCheck::OneValueSize;
    if ((f.type == ValueType::Ascii || f.type == ValueType::Hex) && f.valSize != 16)
        return FormatCheck::OneValueSize;
    if (f.byteOrder == ByteOrder::Invalid)
        return FormatCheck::ByteOrderName;
    return FormatCheck::Ok;
}

int registerCount(const ValueFormat &format, int valuesCnt)
{
    if (valuesCnt <= 0)
        return 0;
    if (format.regSize != 16)
        return valuesCnt;
    const qint64 perValue = format.valSize == 64 ? 4 : format.valSize == 32 ? 2 : 1;
    return int(qMin<qint64>(perValue * valuesCnt, INT_MAX));
}

int unitCount(const ValueFormat &format, int valuesCnt)
{
    const qint64 count = registerCount(format, valuesCnt);
    return int(qMin<qint64>(format.regSize == 32 ? count * 2 : count, INT_MAX));
}
