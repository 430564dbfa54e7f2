#ifndef REGISTERCODEC_H
#define REGISTERCODEC_H

#include <QByteArray>
#include <QString>
#include <QVector>
#include "regvalsparser.h"
#include "valueformat.h"

// Register contents are handled as 16-bit units: for 16-bit registers one
// unit per register; for 32-bit registers two units per register, low half
// first (the wire carries a 32-bit register high half first).

// The JSON array text of readRegisters for valuesCnt values (register
// counts for ascii and hex). Returns an empty byte string, never reading
// past units, when units is too short for the request; a valuesCnt of 0 or
// below gives "[]". NaN and infinities are written as null so the reply
// stays valid JSON. Ascii gives one string, hex one "41C8" per register.
QByteArray decodeValues(const QVector<quint16> &units, int valuesCnt, const ValueFormat &format);

// The same values as numbers (64-bit integers as the nearest double), for
// the numeric rows only. False, leaving *values empty, for ascii and hex or
// when units is too short.
bool decodeNumbers(const QVector<quint16> &units, int valuesCnt, const ValueFormat &format, QVector<double> *values);

// What a write's value list comes to. ValuesError is the "Registers values
// error!" reply: a list of other than valuesCnt elements (one string for
// ascii), text that does not fit the registers or is not Latin-1, a hex
// element that is not 1 to 4 hex digits. OneValueSize: the values cannot be
// placed without writing past the register count (checkFormat refuses
// such formats first).
enum class ValuesCheck { Ok, ValuesError, OneValueSize };

// Encodes the values into units (resized to unitCount, zero-filled).
ValuesCheck encodeValues(const QVector<RegValsElement> &values, int valuesCnt, const ValueFormat &format,
                         QVector<quint16> *units);

QByteArray formatFloatShort(double value); // %g, exponent with sign and two digits
QByteArray formatFloatFixed(double value, int precision); // precision clamped to 0..100

// The string-typed forms of the above: regType as text, byte order native,
// and the type names ascii, hex and float read as plain 16-bit, as they
// always have on this path.
int registerCount(int valuesCnt, int regSize, int valSize);
int unitCount(int valuesCnt, int regSize, int valSize);
// True when a 16-bit value of this type would take a 32-bit word, reaching
// beyond the registers asked for; checkFormat's OneValueSize case.
bool needsWholeWords(const QString &regType, int regSize, int valSize, CodecDirection direction);
QByteArray decodeRegisters(const QVector<quint16> &units, int valuesCnt, const QString &regType, int regSize,
                           int valSize, int floatPrec);
bool encodeRegisters(const QVector<RegValsElement> &values, const QString &regType, int regSize, int valSize,
                     QVector<quint16> *units);

#endif // REGISTERCODEC_H
