#ifndef REGISTERCODEC_H
#define REGISTERCODEC_H

#include <QByteArray>
#include <QString>
#include <QVector>
#include "regvalsparser.h"

// Register contents are handled as 16-bit units: for 16-bit registers one
// unit per register; for 32-bit registers two units per register, low half
// first. 32-bit word i is unit 2i (low half) and unit 2i + 1 (high half).

// Registers asked of the device for valuesCnt values: valuesCnt, doubled when
// 32-bit values sit in 16-bit registers. Units needed: that count for 16-bit
// registers, twice that for 32-bit ones.
int registerCount(int valuesCnt, int regSize, int valSize);
int unitCount(int valuesCnt, int regSize, int valSize);

// True when the type reads (or writes) each value as a whole 32-bit word
// while valSize 16 makes room for one 16-bit register per value only: the
// upper half of the values would lie beyond the registers asked for. The
// engine refuses such a request with "Invalid one value size!" before
// touching the bus. Reading: float1234/float4321/long with regSize 16.
// Writing (no long there): float1234/float4321 with regSize 16.
enum class CodecDirection { Read, Write };
bool needsWholeWords(const QString &regType, int regSize, int valSize, CodecDirection direction);

// The JSON array text of readRegisters for valuesCnt values. Returns an empty
// byte string, never reading past units, when units is too short for the
// request (which needsWholeWords and the count rule above rule out); a
// valuesCnt of 0 or below gives "[]". NaN and infinities are written as null
// so the reply stays valid JSON.
QByteArray decodeRegisters(const QVector<quint16> &units, int valuesCnt, const QString &regType, int regSize,
                           int valSize, int floatPrec);

// Encodes the values into units (resized to unitCount, zero-filled). Returns
// false, leaving units unusable for a write, when a value cannot be placed
// without writing past the register count.
bool encodeRegisters(const QVector<RegValsElement> &values, const QString &regType, int regSize, int valSize,
                     QVector<quint16> *units);

QByteArray formatFloatShort(double value); // %g, exponent with sign and two digits
QByteArray formatFloatFixed(double value, int precision); // precision clamped to 0..100

#endif // REGISTERCODEC_H
