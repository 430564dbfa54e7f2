#ifndef HTTPREQUESTHANDLER_H
#define HTTPREQUESTHANDLER_H

#include <QObject>

class HttpRequest;
class HttpResponse;

// Base of every request handler. One instance serves all connections, so
// service() is called from many handler threads at once.
class HttpRequestHandler : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(HttpRequestHandler)
public:
    explicit HttpRequestHandler(QObject *parent = nullptr);
    ~HttpRequestHandler() override;

    virtual void service(HttpRequest &request, HttpResponse &response);
};

#endif // HTTPREQUESTHANDLER_H
