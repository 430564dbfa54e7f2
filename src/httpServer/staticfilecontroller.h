#ifndef STATICFILECONTROLLER_H
#define STATICFILECONTROLLER_H

#include "httprequesthandler.h"

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

private:
    // private members are the controller's own
};

#endif // STATICFILECONTROLLER_H
