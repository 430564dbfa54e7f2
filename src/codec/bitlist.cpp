#include "bitlist.h"

#include <QJsonArray>
#include <QJsonDocument>

bool parseBitVals(const QByteArray &json, int valuesCnt, QVector<quint8> *bits)
{
    if (!bits)
        return false;
    bits->clear();
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError || !doc.isArray())
        return false;
    const QJsonArray list = doc.array();
    if (valuesCnt < 0 || list.size() != valuesCnt)
        return false;
    QVector<quint8> out;
    out.reserve(list.size());
    for (const QJsonValue &v : list) {
        if (v.isBool())
            out.append(v.toBool() ? 1 : 0);
        else if (v.isDouble() && (v.toDouble() == 0 || v.toDouble() == 1))
            out.append(v.toDouble() == 1 ? 1 : 0);
        else
            return false;
    }
    *bits = out;
    return true;
}

QByteArray bitsToJson(const QVector<quint8> &bits)
{
    QByteArray out;
    out.reserve(bits.size() * 2 + 2);
    out += '[';
    for (int i = 0; i < bits.size(); ++i) {
        if (i > 0)
            out += ',';
        out += bits.at(i) ? '1' : '0';
    }
    out += ']';
    return out;
}

bool parseRegisterWord(const QByteArray &text, quint16 *word)
{
    const bool hex = text.startsWith("0x") || text.startsWith("0X");
    const QByteArray digits = hex ? text.mid(2) : text;
    if (digits.isEmpty())
        return false;
    uint value = 0;
    for (const char c : digits) {
        int digit = -1;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (hex && (c | 0x20) >= 'a' && (c | 0x20) <= 'f')
            digit = (c | 0x20) - 'a' + 10;
        if (digit < 0)
            return false;
        value = value * (hex ? 16 : 10) + uint(digit);
        if (value > 0xFFFF)
            return false;
    }
    if (word)
        *word = quint16(value);
    return true;
}
