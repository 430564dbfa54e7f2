// The texts the update client reads: the page's modules list, the update
// server's file lists, and the download places derived from the file URLs.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QUrl>

#include "updatejson.h"

namespace {

// Whatever the server lists, a place is below the download directory.
void checkPlace(const QString &urlText)
{
    const QString path = updatejson::relativeDownloadPath(urlText);
    if (path.isEmpty())
        return;
    if (!path.startsWith(QLatin1Char('/')) || path.contains(QLatin1Char('\\')))
        abort();
    for (const QString &piece : path.split(QLatin1Char('/'))) {
        const QString decoded = QUrl::fromPercentEncoding(piece.toUtf8());
        if (piece == QLatin1String("..") || decoded == QLatin1String("..") || decoded == QLatin1String("."))
            abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), int(size));
    bool isArray = false;
    const QStringList modules = updatejson::modulesList(input, &isArray);
    if (!isArray && !modules.isEmpty())
        abort();
    const QStringList files = updatejson::fileList(input, &isArray);
    for (const QString &file : files) {
        checkPlace(file);
        checkPlace(QUrl(file, QUrl::TolerantMode).toString());
    }
    checkPlace(QString::fromLatin1(input));
    return 0;
}
