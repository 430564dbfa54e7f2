#include "regvalsparser.h"

#include <cfloat>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <locale.h>

namespace {

// Reads a validated ASCII decimal token whatever the process locale is
// (the GUI application switches LC_NUMERIC to the user's).
double readDecimal(const QByteArray &token)
{
    static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", locale_t(nullptr));
    return strtod_l(token.constData(), nullptr, cLocale);
}

bool isLineTerminator(ushort c)
{
    return c == 0x0A || c == 0x0D || c == 0x2028 || c == 0x2029;
}

// Script white space and line terminators.
bool isScriptSpace(QChar ch)
{
    const ushort c = ch.unicode();
    return c == 0x09 || c == 0x0B || c == 0x0C || c == 0x20 || c == 0xA0 || c == 0xFEFF || isLineTerminator(c)
            || ch.category() == QChar::Separator_Space;
}

bool isDigit(ushort c)
{
    return c >= '0' && c <= '9';
}

int hexValue(ushort c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Unsigned decimal number "digits[.digits][e[+-]digits]" or ".digits[...]"
// starting at pos; appends it to token and advances pos. The integer part may
// be empty only when the fraction is not.
bool scanDecimal(const QString &s, int &pos, QByteArray &token)
{
    const int n = s.size();
    int digits = 0;
    while (pos < n && isDigit(s.at(pos).unicode())) {
        token += char(s.at(pos++).unicode());
        ++digits;
    }
    if (pos < n && s.at(pos) == QLatin1Char('.')) {
        token += '.';
        ++pos;
        while (pos < n && isDigit(s.at(pos).unicode())) {
            token += char(s.at(pos++).unicode());
            ++digits;
        }
    }
    if (digits == 0)
        return false;
    if (pos < n && (s.at(pos) == QLatin1Char('e') || s.at(pos) == QLatin1Char('E'))) {
        token += 'e';
        ++pos;
        if (pos < n && (s.at(pos) == QLatin1Char('+') || s.at(pos) == QLatin1Char('-')))
            token += char(s.at(pos++).unicode());
        int expDigits = 0;
        while (pos < n && isDigit(s.at(pos).unicode())) {
            token += char(s.at(pos++).unicode());
            ++expDigits;
        }
        if (expDigits == 0)
            return false;
    }
    return true;
}

// The digits of text[begin, end) in base as an exact 64-bit magnitude;
// false when one is not a digit of the base or the value needs more bits.
bool exactDigits(const QString &text, int begin, int end, int base, quint64 *magnitude)
{
    if (begin >= end)
        return false;
    quint64 m = 0;
    for (int i = begin; i < end; ++i) {
        const int digit = hexValue(text.at(i).unicode());
        if (digit < 0 || digit >= base || m > (std::numeric_limits<quint64>::max() - quint64(digit)) / quint64(base))
            return false;
        m = m * quint64(base) + quint64(digit);
    }
    *magnitude = m;
    return true;
}

bool scanHex(const QString &s, int &pos, double &value)
{
    const int start = pos;
    value = 0;
    while (pos < s.size() && hexValue(s.at(pos).unicode()) >= 0)
        value = value * 16 + hexValue(s.at(pos++).unicode());
    return pos > start;
}

class LiteralReader
{
public:
    explicit LiteralReader(const QString &source) : s(source) {}

    bool read(QVector<RegValsElement> &out)
    {
        skipSpace();
        if (!take('['))
            return false;
        skipSpace();
        if (take(']'))
            return atEnd();
        for (;;) {
            skipSpace();
            if (out.size() >= kMaxRegValsElements)
                return false;
            RegValsElement element;
            if (!readElement(element))
                return false;
            out.append(element);
            skipSpace();
            if (take(',')) {
                skipSpace();
                if (take(']')) // one trailing comma adds no element
                    return atEnd();
                continue;
            }
            if (take(']'))
                return atEnd();
            return false;
        }
    }

private:
    const QString &s;
    int pos = 0;

    bool more() const { return pos < s.size(); }
    ushort peek() const { return more() ? s.at(pos).unicode() : 0; }
    bool take(char c)
    {
        if (more() && s.at(pos) == QLatin1Char(c)) {
            ++pos;
            return true;
        }
        return false;
    }
    void skipSpace()
    {
        while (more() && isScriptSpace(s.at(pos)))
            ++pos;
    }
    bool atEnd()
    {
        skipSpace();
        return !more();
    }

    bool readElement(RegValsElement &element)
    {
        const ushort c = peek();
        if (c == '"' || c == '\'') {
            element.kind = RegValsElement::String;
            return readString(element.text);
        }
        bool negative = false;
        if (c == '+' || c == '-') {
            negative = c == '-';
            ++pos;
            skipSpace();
        }
        double value = 0;
        if (!readNumber(value, element))
            return false;
        element.kind = RegValsElement::Number;
        element.number = negative ? -value : value;
        return true;
    }

    bool readNumber(double &value, RegValsElement &element)
    {
        const ushort c = peek();
        if (!isDigit(c) && c != '.')
            return false;
        const int start = pos;
        if (c == '0' && pos + 1 < s.size()) {
            const ushort next = s.at(pos + 1).unicode();
            if (next == 'x' || next == 'X') {
                pos += 2;
                if (!scanHex(s, pos, value) || followedByNameOrDigit())
                    return false;
                element.exactInteger = exactDigits(s, start + 2, pos, 16, &element.magnitude);
                return true;
            }
            if (isDigit(next))
                return readLegacyOctal(value, element);
        }
        return readDecimalLiteral(value, element);
    }

    bool readDecimalLiteral(double &value, RegValsElement &element)
    {
        const int start = pos;
        QByteArray token;
        if (!scanDecimal(s, pos, token) || followedByNameOrDigit())
            return false;
        value = readDecimal(token);
        element.exactInteger = exactDigits(s, start, pos, 10, &element.magnitude);
        return true;
    }

    // 010 is octal in non-strict script code; 019 falls back to decimal.
    bool readLegacyOctal(double &value, RegValsElement &element)
    {
        int end = pos;
        bool octal = true;
        while (end < s.size() && isDigit(s.at(end).unicode())) {
            if (s.at(end).unicode() >= '8')
                octal = false;
            ++end;
        }
        if (octal) {
            const int start = pos;
            value = 0;
            for (++pos; pos < end; ++pos)
                value = value * 8 + (s.at(pos).unicode() - '0');
            element.exactInteger = exactDigits(s, start, end, 8, &element.magnitude);
            return !followedByNameOrDigit() && peek() != '.';
        }
        return readDecimalLiteral(value, element);
    }

    bool followedByNameOrDigit() const
    {
        if (!more())
            return false;
        const QChar ch = s.at(pos);
        return ch.isLetterOrNumber() || ch == QLatin1Char('_') || ch == QLatin1Char('$') || ch == QLatin1Char('\\');
    }

    bool readString(QString &text)
    {
        const ushort quote = peek();
        ++pos;
        while (more()) {
            const ushort c = s.at(pos).unicode();
            if (c == quote) {
                ++pos;
                return true;
            }
            if (isLineTerminator(c))
                return false;
            if (c != '\\') {
                text += s.at(pos++);
                continue;
            }
            ++pos;
            if (!more())
                return false;
            const ushort e = s.at(pos++).unicode();
            switch (e) {
            case 'b': text += QChar(0x08); break;
            case 't': text += QChar(0x09); break;
            case 'n': text += QChar(0x0A); break;
            case 'v': text += QChar(0x0B); break;
            case 'f': text += QChar(0x0C); break;
            case 'r': text += QChar(0x0D); break;
            case '0':
                if (isDigit(peek()))
                    return false; // octal escapes are not taken
                text += QChar(0);
                break;
            case 'x':
            case 'u': {
                const int len = e == 'x' ? 2 : 4;
                if (pos + len > s.size())
                    return false;
                ushort code = 0;
                for (int i = 0; i < len; ++i) {
                    const int h = hexValue(s.at(pos + i).unicode());
                    if (h < 0)
                        return false;
                    code = ushort(code * 16 + h);
                }
                pos += len;
                text += QChar(code);
                break;
            }
            case 0x0D:
                if (peek() == 0x0A)
                    ++pos;
                break;
            case 0x0A:
            case 0x2028:
            case 0x2029: break; // line continuation
            default:
                if (isDigit(e))
                    return false;
                text += QChar(e);
            }
        }
        return false;
    }
};

// Plain decimal text as single precision; 0 for anything else.
float readFloatText(const QString &text)
{
    const QString t = text.trimmed();
    int pos = 0;
    QByteArray token;
    if (pos < t.size() && (t.at(pos) == QLatin1Char('+') || t.at(pos) == QLatin1Char('-')))
        token += char(t.at(pos++).unicode());
    if (!scanDecimal(t, pos, token) || pos != t.size())
        return 0;
    const double d = readDecimal(token);
    if (!(std::fabs(d) <= double(FLT_MAX)))
        return 0;
    return float(d);
}

double toInteger(double d)
{
    return std::trunc(d);
}

quint64 wrap64(double d)
{
    if (!std::isfinite(d))
        return 0;
    const double m = std::fmod(toInteger(d), 18446744073709551616.0);
    const quint64 magnitude = quint64(std::fabs(m));
    return m < 0 ? quint64(0) - magnitude : magnitude;
}

quint64 signedMagnitude(bool negative, quint64 magnitude)
{
    return negative ? quint64(0) - magnitude : magnitude;
}

// An integer string read exactly, as script ToNumber reads it: script
// blanks around, then 0x and hex digits, or a sign and decimal digits.
bool exactIntegerText(const QString &text, quint64 *bits)
{
    int begin = 0;
    int end = text.size();
    while (begin < end && isScriptSpace(text.at(begin)))
        ++begin;
    while (end > begin && isScriptSpace(text.at(end - 1)))
        --end;
    quint64 m = 0;
    if (end - begin > 2 && text.at(begin) == QLatin1Char('0')
        && (text.at(begin + 1) == QLatin1Char('x') || text.at(begin + 1) == QLatin1Char('X'))) {
        if (!exactDigits(text, begin + 2, end, 16, &m))
            return false;
        *bits = m;
        return true;
    }
    bool negative = false;
    if (begin < end && (text.at(begin) == QLatin1Char('+') || text.at(begin) == QLatin1Char('-'))) {
        negative = text.at(begin) == QLatin1Char('-');
        ++begin;
    }
    if (!exactDigits(text, begin, end, 10, &m))
        return false;
    *bits = signedMagnitude(negative, m);
    return true;
}

// Plain decimal text as a double; 0 for anything else.
double readDoubleText(const QString &text)
{
    const QString t = text.trimmed();
    int pos = 0;
    QByteArray token;
    if (pos < t.size() && (t.at(pos) == QLatin1Char('+') || t.at(pos) == QLatin1Char('-')))
        token += char(t.at(pos++).unicode());
    if (!scanDecimal(t, pos, token) || pos != t.size())
        return 0;
    const double d = readDecimal(token);
    return std::isfinite(d) ? d : 0;
}

quint32 wrap32(double d)
{
    if (!std::isfinite(d))
        return 0;
    double m = std::fmod(toInteger(d), 4294967296.0);
    if (m < 0)
        m += 4294967296.0;
    return quint32(m);
}

} // namespace

bool parseRegVals(const QString &source, QVector<RegValsElement> *elements)
{
    if (!elements)
        return false;
    elements->clear();
    if (source.size() > kMaxRegValsLength)
        return false;
    QVector<RegValsElement> out;
    LiteralReader reader(source);
    if (!reader.read(out))
        return false;
    *elements = out;
    return true;
}

double scriptStringToNumber(const QString &text)
{
    int begin = 0;
    int end = text.size();
    while (begin < end && isScriptSpace(text.at(begin)))
        ++begin;
    while (end > begin && isScriptSpace(text.at(end - 1)))
        --end;
    const QString t = text.mid(begin, end - begin);
    if (t.isEmpty())
        return 0;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    if (t.size() > 2 && t.at(0) == QLatin1Char('0') && (t.at(1) == QLatin1Char('x') || t.at(1) == QLatin1Char('X'))) {
        int pos = 2;
        double value = 0;
        return scanHex(t, pos, value) && pos == t.size() ? value : nan;
    }
    int pos = 0;
    bool negative = false;
    if (t.at(0) == QLatin1Char('+') || t.at(0) == QLatin1Char('-')) {
        negative = t.at(0) == QLatin1Char('-');
        ++pos;
    }
    if (t.midRef(pos) == QLatin1String("Infinity"))
        return negative ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
    QByteArray token;
    if (!scanDecimal(t, pos, token) || pos != t.size())
        return nan;
    const double value = readDecimal(token);
    return negative ? -value : value;
}

double regValToNumber(const RegValsElement &element)
{
    return element.kind == RegValsElement::String ? scriptStringToNumber(element.text) : element.number;
}

qint32 regValToInt32(const RegValsElement &element)
{
    return qint32(wrap32(regValToNumber(element)));
}

quint32 regValToUint32(const RegValsElement &element)
{
    return wrap32(regValToNumber(element));
}

float regValToFloat(const RegValsElement &element)
{
    if (element.kind == RegValsElement::String)
        return readFloatText(element.text);
    const double d = element.number;
    if (!std::isfinite(d) || std::fabs(d) > double(FLT_MAX))
        return 0;
    // A number's script text for -0 is "0", so it reads back as +0.
    if (d == 0)
        return 0;
    return float(d);
}

quint64 regValToUint64(const RegValsElement &element)
{
    if (element.kind == RegValsElement::Number && element.exactInteger)
        return signedMagnitude(std::signbit(element.number), element.magnitude);
    quint64 bits = 0;
    if (element.kind == RegValsElement::String && exactIntegerText(element.text, &bits))
        return bits;
    return wrap64(regValToNumber(element));
}

double regValToDouble(const RegValsElement &element)
{
    if (element.kind == RegValsElement::String)
        return readDoubleText(element.text);
    const double d = element.number;
    // A number's script text for -0 is "0", so it reads back as +0.
    if (!std::isfinite(d) || d == 0)
        return 0;
    return d;
}
