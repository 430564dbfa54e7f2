#ifndef BITLIST_H
#define BITLIST_H

#include <QByteArray>
#include <QVector>

// Coils and discrete inputs as the API carries them.

// writeBits' bitVals: a JSON array of exactly valuesCnt elements, each 0,
// 1, true or false. On failure *bits is left empty.
bool parseBitVals(const QByteArray &json, int valuesCnt, QVector<quint8> *bits);

// readBits' reply: [1,0,...], any non-zero state as 1.
QByteArray bitsToJson(const QVector<quint8> &bits);

// maskWriteRegister's andMask and orMask: decimal digits, or 0x and hex
// digits, for a value from 0 to 65535; no sign, no blanks.
bool parseRegisterWord(const QByteArray &text, quint16 *word);

#endif // BITLIST_H
