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

    // Decides on a request as soon as its headers are complete, before any
    // of its body is read or spooled. False refuses it: the server answers
    // 403 and closes the connection without reading the body. Admits all.
    virtual bool admit(const HttpRequest &request);

    virtual void service(HttpRequest &request, HttpResponse &response);
};

#endif // HTTPREQUESTHANDLER_H
