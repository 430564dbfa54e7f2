#ifndef TGETARRAY_H
#define TGETARRAY_H

#include <QByteArray>
#include <QMap>

// Request parameters handed to engine operations: a copy of the request's
// parameter multimap. A lookup by name sees the newest entry of that name.
typedef QMap<QByteArray, QByteArray> t_GetArray;

#endif // TGETARRAY_H
