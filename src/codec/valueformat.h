#ifndef VALUEFORMAT_H
#define VALUEFORMAT_H

#include <QByteArray>
#include <QString>

// How register contents are read as values: the typed form of the request's
// regType, regSize, valSize, floatPrec and byteOrder.

enum class ValueType {
    Int,
    Uint,
    Long, // read only: 32-bit unsigned, first register high
    Float1234,
    Float4321,
    Float, // IEEE 754: single at valSize 32, double at 64
    Ascii, // valuesCnt registers of text, two bytes each
    Hex, // one 4-digit string per register
    Plain // any other name: unsigned 16-bit
};

// Bytes on the wire against big-endian, for values over more than one
// 16-bit register (a 32-bit register counts as two): CDAB reverses the
// words, BADC swaps the bytes within each, DCBA does both. Ascii text only
// takes the byte swap of BADC and DCBA; hex and 16-bit values ignore the
// order. Native is the parameter left out: each older type keeps the order
// it has always had, the newer ones read ABCD.
enum class ByteOrder { Native, ABCD, CDAB, BADC, DCBA, Invalid };

struct ValueFormat
{
    ValueType type = ValueType::Int;
    int regSize = 16;
    int valSize = 16;
    int floatPrec = 2;
    ByteOrder byteOrder = ByteOrder::Native;
};

enum class CodecDirection { Read, Write };

// Outcome of the format checks, in the order they are made. The engine
// answers each with its reply: "Invalid registers size!", "Invalid value
// size!", "Invalid float precision!", "Invalid one value size!", and
// ERR_INPUT_PARAMS for a byte order it does not know.
enum class FormatCheck { Ok, RegisterSize, ValueSize, FloatPrecision, OneValueSize, ByteOrderName };

// Names compare case-sensitively; anything unknown reads as Plain.
ValueType valueTypeFromName(const QString &name);
// ABCD, CDAB, BADC, DCBA; anything else is Invalid.
ByteOrder byteOrderFromName(const QByteArray &name);

// floatPrec is checked for reads only, as an unsigned number (so -1 fails).
FormatCheck checkFormat(const ValueFormat &format, CodecDirection direction);

// Registers asked of the device for valuesCnt values (ascii and hex count
// registers), and the 16-bit units that holds: two per 32-bit register,
// low half first. 0 for a count of 0 or below; callers cap the count first.
int registerCount(const ValueFormat &format, int valuesCnt);
int unitCount(const ValueFormat &format, int valuesCnt);

#endif // VALUEFORMAT_H
