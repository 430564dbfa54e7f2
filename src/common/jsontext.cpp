#include "jsontext.h"

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
