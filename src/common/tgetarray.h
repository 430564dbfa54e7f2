#ifndef TGETARRAY_H
#define TGETARRAY_H

#include <QByteArray>
#include <QMap>

// Request parameters handed to engine operations: a copy of the request's
// parameter multimap. A lookup by name sees the newest entry of that name.
typedef QMap<QByteArray, QByteArray> t_GetArray;

// Some values the page percent-encodes itself before the request encodes
// them again; the parser undoes only the outer layer. This undoes the inner
// one: %XX to its byte, while a plus sign stays a plus sign.
inline QByteArray percentDecodedAgain(const QByteArray &value)
{
    return QByteArray::fromPercentEncoding(value);
}

#endif // TGETARRAY_H
