#ifndef REGISTERCODEC_H
#define REGISTERCODEC_H

#include <QByteArray>
#include <QString>
#include <QVector>
#include "regvalsparser.h"

// Register contents are handled as 16-bit units: for 16-bit registers one
// unit per register; for 32-bit registers two units per register, low half
// first. 32-bit word i is unit 2i (low half) and unit 2i + 1 (high half).

// The JSON array text of readRegisters for valuesCnt values.
QByteArray decodeRegisters(const QVector<quint16> &units, int valuesCnt, const QString &regType,
                           int regSize, int valSize, int floatPrec);

// Encodes the values into units (resized as needed). Returns false when a
// value cannot be placed without writing past the register count.
bool encodeRegisters(const QVector<RegValsElement> &values, const QString &regType,
                     int regSize, int valSize, QVector<quint16> *units);

QByteArray formatFloatShort(double value);            // %g, exponent with sign and two digits
QByteArray formatFloatFixed(double value, int precision);

QString escapeJsonChar(char c);
QByteArray escapeJsonText(const QByteArray &text);    // every byte through escapeJsonChar

#endif // REGISTERCODEC_H
