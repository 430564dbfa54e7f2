#ifndef VALUEROW_H
#define VALUEROW_H

#include "valueformat.h"

// Inside the codec: what one value is made of once the format is known.
enum class ValueRow {
    Unsigned16,
    Signed16,
    Unsigned32,
    Signed32,
    FloatShort, // printf %g, except exactly 1e8
    FloatFixed,
    Unsigned64,
    Signed64,
    Double,
    Ascii,
    Hex
};

struct ValueLayout
{
    ValueRow row = ValueRow::Unsigned16;
    ByteOrder order = ByteOrder::ABCD; // resolved: never Native or Invalid
};

ValueLayout valueLayout(const ValueFormat &format, CodecDirection direction);

// 16-bit units one value takes from the buffer: 1, 2 or 4.
int unitsPerValue(ValueRow row);

#endif // VALUEROW_H
