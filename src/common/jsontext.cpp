#include "jsontext.h"

#include <QSet>
#include <QString>
#include <QVector>

QByteArray jsonEscapeChar(char c, JsonSlash slash)
{
    const uchar b = uchar(c);
    switch (b) {
    case 0x08: return QByteArrayLiteral("\\b");
    case 0x09: return QByteArrayLiteral("\\t");
    case 0x0A: return QByteArrayLiteral("\\n");
    case 0x0C: return QByteArrayLiteral("\\f");
    case 0x0D: return QByteArrayLiteral("\\r");
    case '"': return QByteArrayLiteral("\\\"");
    case '\\': return QByteArrayLiteral("\\\\");
    case '/': return slash == JsonSlash::Escape ? QByteArrayLiteral("\\/") : QByteArray(1, c);
    default: break;
    }
    if (b < 0x20) {
        static const char hex[] = "0123456789abcdef";
        QByteArray out("\\u00");
        out += hex[b >> 4];
        out += hex[b & 0xF];
        return out;
    }
    return QByteArray(1, c);
}

QByteArray jsonEscape(const QByteArray &text, JsonSlash slash)
{
    QByteArray out;
    out.reserve(text.size());
    for (const char c : text) {
        const uchar b = uchar(c);
        if (b >= 0x20 && c != '"' && c != '\\' && !(c == '/' && slash == JsonSlash::Escape))
            out += c;
        else
            out += jsonEscapeChar(c, slash);
    }
    return out;
}

QByteArray jsonEscapeLatin1(const QByteArray &text)
{
    static const char hex[] = "0123456789abcdef";
    QByteArray out;
    out.reserve(text.size());
    for (const char c : text) {
        const uchar b = uchar(c);
        if (b < 0x7F) {
            out += jsonEscapeChar(c);
        } else {
            out += "\\u00";
            out += hex[b >> 4];
            out += hex[b & 0xF];
        }
    }
    return out;
}

namespace {

// Reads the string that starts at text[i] == '"'; i ends after its closing quote.
QString readString(const QByteArray &text, int &i)
{
    QString out;
    QByteArray raw;
    ++i;
    while (i < text.size()) {
        const char c = text.at(i);
        if (c == '"') {
            ++i;
            break;
        }
        if (c != '\\') {
            raw += c;
            ++i;
            continue;
        }
        out += QString::fromUtf8(raw);
        raw.clear();
        if (i + 1 >= text.size()) {
            i = text.size();
            break;
        }
        const char e = text.at(i + 1);
        i += 2;
        switch (e) {
        case 'b': out += QChar(0x08); break;
        case 'f': out += QChar(0x0C); break;
        case 'n': out += QChar(0x0A); break;
        case 'r': out += QChar(0x0D); break;
        case 't': out += QChar(0x09); break;
        case 'u': {
            bool ok = false;
            const ushort unit = text.mid(i, 4).toUShort(&ok, 16);
            if (ok && text.mid(i, 4).size() == 4) {
                out += QChar(unit);
                i += 4;
            } else {
                out += QLatin1String("\\u");
            }
            break;
        }
        default: out += QLatin1Char(e); break;
        }
    }
    return out + QString::fromUtf8(raw);
}

struct Level
{
    bool object = false;
    bool expectName = false;
    QSet<QString> names;
};

} // namespace

bool jsonRepeatsMemberName(const QByteArray &text)
{
    QVector<Level> levels;
    int i = 0;
    while (i < text.size()) {
        const char c = text.at(i);
        if (c == '"') {
            const QString value = readString(text, i);
            if (!levels.isEmpty() && levels.last().object && levels.last().expectName) {
                Level &level = levels.last();
                level.expectName = false;
                if (level.names.contains(value))
                    return true;
                level.names.insert(value);
            }
            continue;
        }
        if (c == '{' || c == '[') {
            Level level;
            level.object = c == '{';
            level.expectName = level.object;
            levels.append(level);
        } else if (c == '}' || c == ']') {
            if (!levels.isEmpty())
                levels.removeLast();
        } else if (c == ',' && !levels.isEmpty() && levels.last().object) {
            levels.last().expectName = true;
        }
        ++i;
    }
    return false;
}

QJsonDocument parseForeignJson(const QByteArray &text, QJsonParseError *error)
{
    if (jsonRepeatsMemberName(text)) {
        if (error) {
            error->error = QJsonParseError::IllegalValue;
            error->offset = 0;
        }
        return QJsonDocument();
    }
    return QJsonDocument::fromJson(text, error);
}
