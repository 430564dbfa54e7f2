#ifndef STATICFILECONTROLLER_H
#define STATICFILECONTROLLER_H

#include "httprequesthandler.h"

#include <QByteArray>
#include <QCache>
#include <QString>

#include <mutex>

class QSettings;

// Serves files below the document root, with a shared in-memory LRU cache.
class StaticFileController : public HttpRequestHandler
{
    Q_OBJECT
    Q_DISABLE_COPY(StaticFileController)
public:
    explicit StaticFileController(QSettings *settings, QObject *parent = nullptr);
    ~StaticFileController() override;

    void service(HttpRequest &request, HttpResponse &response) override;

    // Sets Content-Type from the file name's extension (exact letter case).
    void applyContentType(const QByteArray &fileName, HttpResponse &response) const;

    QString documentRoot() const;

    // Sent with every file: the page and its modules load scripts, styles
    // and images from this server only (inline style attributes allowed),
    // and no other site may frame them.
    static const QByteArray contentSecurityPolicy;

private:
    struct CachedFile
    {
        QByteArray content;
        qint64 loadTime = 0;
        QByteArray fileName;
    };

    void setCacheControl(HttpResponse &response) const;

    QString encoding;
    QString docroot;
    int maxAge;
    int cacheTimeout;
    qint64 maxCachedFileSize;
    QCache<QString, CachedFile> cache;
    std::mutex mutex;
};

#endif // STATICFILECONTROLLER_H
