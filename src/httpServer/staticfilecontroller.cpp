#include "staticfilecontroller.h"
#include "httprequest.h"
#include "httpresponse.h"
#include "httpsettings.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>

#include <memory>

namespace {
constexpr qint64 blockSize = 65536;

// Sends the file in blocks; keeps a copy of what was sent when asked to.
void sendFile(QFile &file, HttpResponse &response, QByteArray *copy)
{
    while (!file.atEnd() && file.error() == QFileDevice::NoError) {
        const QByteArray block = file.read(blockSize);
        if (block.isEmpty())
            break;
        response.write(block);
        if (copy)
            *copy += block;
    }
}

void forbidden(HttpResponse &response)
{
    response.setStatus(403, "forbidden");
    response.write("403 forbidden", true);
}
} // namespace

const QByteArray StaticFileController::contentSecurityPolicy =
        "default-src 'self'; style-src 'self' 'unsafe-inline'; img-src 'self' data:; object-src 'none'; "
        "base-uri 'none'; form-action 'self'; frame-ancestors 'none'";

StaticFileController::StaticFileController(QSettings *settings, QObject *parent) : HttpRequestHandler(parent)
{
    encoding = httpSetting(settings, QStringLiteral("encoding"), QStringLiteral("UTF-8")).toString();
    docroot = httpSetting(settings, QStringLiteral("path"), QStringLiteral(".")).toString();
    const bool embedded = docroot.startsWith(QLatin1String(":/")) || docroot.startsWith(QLatin1String("qrc://"));
    if (!embedded && !QDir::isAbsolutePath(docroot) && settings && settings->format() != QSettings::NativeFormat) {
        const QFileInfo configFile(settings->fileName());
        docroot = QFileInfo(configFile.absolutePath() + QLatin1Char('/') + docroot).absoluteFilePath();
    }
    maxAge = httpSettingInt(settings, QStringLiteral("maxAge"), 60000);
    maxCachedFileSize = httpSettingInt(settings, QStringLiteral("maxCachedFileSize"), 65536);
    cache.setMaxCost(httpSettingInt(settings, QStringLiteral("cacheSize"), 1000000));
    cacheTimeout = httpSettingInt(settings, QStringLiteral("cacheTime"), 60000);
    qDebug("StaticFileController: docroot=%s, encoding=%s, maxAge=%i", qPrintable(docroot), qPrintable(encoding),
           maxAge);
}

StaticFileController::~StaticFileController() = default;

QString StaticFileController::documentRoot() const
{
    return docroot;
}

void StaticFileController::setCacheControl(HttpResponse &response) const
{
    response.setHeader("Cache-Control", "max-age=" + QByteArray::number(maxAge / 1000));
}

void StaticFileController::applyContentType(const QByteArray &fileName, HttpResponse &response) const
{
    if (fileName.endsWith(".png"))
        response.setHeader("Content-Type", "image/png");
    else if (fileName.endsWith(".jpg"))
        response.setHeader("Content-Type", "image/jpeg");
    else if (fileName.endsWith(".gif"))
        response.setHeader("Content-Type", "image/gif");
    else if (fileName.endsWith(".pdf"))
        response.setHeader("Content-Type", "application/pdf");
    else if (fileName.endsWith(".txt"))
        response.setHeader("Content-Type", "text/plain; charset=" + encoding.toLatin1());
    else if (fileName.endsWith(".html") || fileName.endsWith(".htm"))
        response.setHeader("Content-Type", "text/html; charset=" + encoding.toLatin1());
    else if (fileName.endsWith(".css"))
        response.setHeader("Content-Type", "text/css");
    else if (fileName.endsWith(".js"))
        response.setHeader("Content-Type", "text/javascript");
}

void StaticFileController::service(HttpRequest &request, HttpResponse &response)
{
    QByteArray path = request.path();
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    const QString key = QString::fromUtf8(path);
    response.setHeader("Content-Security-Policy", contentSecurityPolicy);

    {
        std::unique_lock<std::mutex> locker(mutex);
        CachedFile *entry = cache.object(key);
        if (entry && (cacheTimeout == 0 || entry->loadTime > now - cacheTimeout)) {
            const QByteArray content = entry->content;
            const QByteArray fileName = entry->fileName;
            locker.unlock();
            applyContentType(fileName, response);
            setCacheControl(response);
            response.write(content);
            return;
        }
    }

    // A path must stay below the root: no climbing up, and no relative form
    // that would glue onto the root's own name.
    if (path.contains("/..") || !path.startsWith('/')) {
        qWarning("StaticFileController: detected forbidden characters in path %s", path.constData());
        forbidden(response);
        return;
    }

    if (QFileInfo(docroot + QString::fromUtf8(path)).isDir())
        path += "/index.html";

    QFile file(docroot + QString::fromUtf8(path));
    if (file.open(QIODevice::ReadOnly)) {
        applyContentType(path, response);
        setCacheControl(response);
        if (file.size() <= maxCachedFileSize) {
            auto entry = std::make_unique<CachedFile>();
            entry->content.reserve(int(file.size()));
            sendFile(file, response, &entry->content);
            entry->loadTime = now;
            entry->fileName = path;
            const int cost = entry->content.size();
            std::lock_guard<std::mutex> locker(mutex);
            cache.insert(key, entry.release(), cost);
        } else {
            sendFile(file, response, nullptr);
        }
        file.close();
    } else if (file.exists()) {
        qWarning("StaticFileController: Cannot open existing file %s for reading", qPrintable(file.fileName()));
        forbidden(response);
    } else {
        response.setStatus(404, "not found");
        response.write("404 not found", true);
    }
}
