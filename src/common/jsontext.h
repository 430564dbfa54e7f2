#ifndef JSONTEXT_H
#define JSONTEXT_H

#include <QByteArray>

// Replies are built by concatenation, so every text that did not come from
// us goes through here before it lands between quotes.
enum class JsonSlash { Keep, Escape };

// \b \t \n \f \r \" \\ as two characters, other control bytes as \u00XX,
// "/" as "\/" only on request; every other byte (UTF-8 included) unchanged.
QByteArray jsonEscape(const QByteArray &text, JsonSlash slash = JsonSlash::Keep);

// The escape of a single byte, as jsonEscape writes it.
QByteArray jsonEscapeChar(char c, JsonSlash slash = JsonSlash::Keep);

#endif // JSONTEXT_H
