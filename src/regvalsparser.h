#ifndef REGVALSPARSER_H
#define REGVALSPARSER_H

#include <QString>
#include <QVector>

// One element of a register value list: a number or a string literal.
struct RegValsElement
{
    enum Kind { Number, String };
    Kind kind = Number;
    double number = 0;   // Number: its value
    QString text;        // String: its (unescaped) contents
};

// Strict reader for an ECMAScript array literal of numbers and strings.
// Returns false for anything else; nothing is ever evaluated.
bool parseRegVals(const QString &source, QVector<RegValsElement> *elements);

#endif // REGVALSPARSER_H
