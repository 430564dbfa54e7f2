#ifndef UPDATEJSON_H
#define UPDATEJSON_H

#include <QByteArray>
#include <QString>
#include <QStringList>

class QJsonValue;

// What the update client reads from the browser and from the update server,
// kept free of sockets so that tests and the fuzzer can call it directly.
namespace updatejson {

// The elements of a JSON array, each as a browser script would print it.
// isArray is false (and the list empty) when the text is no JSON array.
QStringList textArray(const QByteArray &utf8Json, bool *isArray);

// A browser's text of a JSON value: strings as they are, numbers in the
// shortest decimal (1, not 1.0), arrays joined with commas.
QString scriptText(const QJsonValue &value);
QString scriptNumber(double value);

// The modules list of startUpdating: percent-decoded once more, then UTF-8.
QStringList modulesList(const QByteArray &parameter, bool *isArray);

// A file list as served: the bytes up to the first NUL, read as Latin-1.
QStringList fileList(const QByteArray &body, bool *isArray);

// Where a downloaded file goes below the download directory: from the first
// URL piece that is "root", "modules" or "install" on, each piece preceded
// by "/". Empty when there is no such piece or when a piece could climb out
// of the download directory; such a file has no safe place.
QString relativeDownloadPath(const QString &urlText);

} // namespace updatejson

#endif // UPDATEJSON_H
