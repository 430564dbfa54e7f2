#ifndef JSONTEXT_H
#define JSONTEXT_H

#include <QByteArray>
#include <QJsonDocument>

// Replies are built by concatenation, so every text that did not come from
// us goes through here before it lands between quotes.
enum class JsonSlash { Keep, Escape };

// \b \t \n \f \r \" \\ as two characters, other control bytes as \u00XX,
// "/" as "\/" only on request; every other byte (UTF-8 included) unchanged.
QByteArray jsonEscape(const QByteArray &text, JsonSlash slash = JsonSlash::Keep);

// Latin-1 text (a device's bytes) for between quotes, in plain ASCII so the
// reply reads the same whatever charset the reader assumes: as jsonEscape,
// with every byte from 0x7F on as \u00XX.
QByteArray jsonEscapeLatin1(const QByteArray &text);

// The escape of a single byte, as jsonEscape writes it.
QByteArray jsonEscapeChar(char c, JsonSlash slash = JsonSlash::Keep);

// True when an object in the text names a member twice (names compared
// after their escapes are decoded). Malformed text is scanned as far as it goes.
bool jsonRepeatsMemberName(const QByteArray &text);

// QJsonDocument::fromJson for texts from the network. Qt 5.15 leaks the
// earlier value of a repeated member name when it is an object or array, so
// such texts are refused (error set, null document) before Qt reads them.
QJsonDocument parseForeignJson(const QByteArray &text, QJsonParseError *error = nullptr);

#endif // JSONTEXT_H
