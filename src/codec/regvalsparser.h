#ifndef REGVALSPARSER_H
#define REGVALSPARSER_H

#include <QString>
#include <QVector>

// One element of a register value list: a number or a string literal.
struct RegValsElement
{
    enum Kind { Number, String };
    Kind kind = Number;
    double number = 0; // Number: its value
    QString text; // String: its (unescaped) contents
    // Number written as an integer literal within 64 bits: its magnitude
    // exactly (the sign is number's), so 64-bit values keep every digit.
    bool exactInteger = false;
    quint64 magnitude = 0;
};

// Inputs beyond these bounds are refused outright.
constexpr int kMaxRegValsLength = 65536; // characters of source text
constexpr int kMaxRegValsElements = 4096;

// Strict reader for an ECMAScript array literal of numbers and strings.
// Returns false for anything else; nothing is ever evaluated. Accepted:
// white space, decimal/exponent/0x/legacy-octal numbers with an optional
// leading sign, single- or double-quoted strings with the usual escapes, one
// trailing comma. Refused: holes ([1,,2], [,]), nested arrays, objects,
// identifiers, calls, operators, comments, octal string escapes, trailing
// text. On failure *elements is left empty.
bool parseRegVals(const QString &source, QVector<RegValsElement> *elements);

// ECMAScript ToNumber of a string: trimmed; empty is 0; decimal, exponent,
// 0x and Infinity forms; anything else NaN.
double scriptStringToNumber(const QString &text);

// The element as a script number (strings through scriptStringToNumber).
double regValToNumber(const RegValsElement &element);

// "As integer" for 32-bit signed targets: truncation toward zero, then
// wrapped modulo 2^32 (NaN and infinities give 0).
qint32 regValToInt32(const RegValsElement &element);

// "As integer" through a 64-bit value keeping its low 32 bits: the same
// wrapping, two's complement for negatives (so -1 gives 0xFFFFFFFF).
quint32 regValToUint32(const RegValsElement &element);

// "As integer" for 64-bit targets: exact for integer literals and integer
// strings within 64 bits, otherwise through the number truncated toward
// zero; wrapped modulo 2^64, two's complement for negatives (NaN and
// infinities give 0).
quint64 regValToUint64(const RegValsElement &element);

// "As float": the element's script text read as a single-precision decimal
// number; 0 when the text is not a plain decimal number or lies beyond the
// single-precision range.
float regValToFloat(const RegValsElement &element);

// The same at double precision: 0 for text that is not a plain decimal
// number and for values beyond the double range; -0 as a number gives +0.
double regValToDouble(const RegValsElement &element);

#endif // REGVALSPARSER_H
