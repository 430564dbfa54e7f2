#ifndef HTTPREQUEST_H
#define HTTPREQUEST_H

#include <QByteArray>
#include <QMap>
#include <QMultiMap>
#include <QList>
#include <QPair>
#include <QVector>

#include <map>
#include <memory>

class QIODevice;
class QSettings;
class QTemporaryFile;

// One HTTP request, parsed incrementally from the bytes of a connection.
class HttpRequest
{
    Q_DISABLE_COPY(HttpRequest)
public:
    enum ParseState { ExpectRequestLine, ExpectHeader, ExpectBody, Complete, Aborted };

    explicit HttpRequest(QSettings *settings);
    virtual ~HttpRequest();

    // Consumes one line or one block of body bytes, whatever the state asks for.
    void readFromSocket(QIODevice *socket);
    ParseState status() const;

    // An aborted request that is malformed rather than too large: it is
    // answered with 400 instead of the 413 text.
    bool isBadRequest() const;

    QByteArray method() const;
    QByteArray path() const; // decoded, without the query
    QByteArray rawPath() const;
    QByteArray version() const;
    // The authority of an absolute-form target ("http://host:port/path"),
    // empty for the usual "/path" form.
    QByteArray authority() const;

    // Header names are matched without letter case, as HTTP defines them;
    // the newest field comes first.
    QByteArray header(const QByteArray &name) const;
    QList<QByteArray> headerValues(const QByteArray &name) const;
    // Names as sent.
    QMultiMap<QByteArray, QByteArray> headerMap() const;

    QByteArray parameter(const QByteArray &name) const;
    QList<QByteArray> parameterValues(const QByteArray &name) const;
    QMultiMap<QByteArray, QByteArray> parameterMap() const;

    QByteArray body() const;

    // The temporary file of an uploaded form field, or nullptr. Owned by the request.
    QTemporaryFile *uploadedFile(const QByteArray &fieldName) const;

    QByteArray cookie(const QByteArray &name) const;
    QMap<QByteArray, QByteArray> cookieMap() const;

    // The body size the headers announced (0 before the headers are complete).
    qint64 announcedBodySize() const;

    // Whether the request came over TLS; set by the connection handler.
    bool isEncrypted() const;
    void setEncrypted(bool value);

    static QByteArray decodeUrl(const QByteArray &source);

    // Reads the Content-Length values of one request: each must be all
    // digits, and all must agree. One too large for 64 bits reads as the
    // largest length.
    enum LengthCheck { Usable, NotANumber, Conflicting };
    static LengthCheck announcedLength(const QList<QByteArray> &values, qint64 &length);

    // Most parts one multipart body may carry: each file part holds a
    // temporary file open until the request ends.
    static const int maxMultiParts = 16;

private:
    bool readLine(QIODevice *socket, QByteArray &line);
    void readRequest(QIODevice *socket);
    bool splitTarget(const QByteArray &target);
    void readHeader(QIODevice *socket);
    void endOfHeaders();
    bool checkTarget();
    void refuseAsBad(const char *warning);
    void readBody(QIODevice *socket);
    void readMultiPartBody(QIODevice *socket);
    bool parseMultiPartFile();
    void decodeParameters();
    void parseCookies();
    qint64 limit() const;

    QVector<QPair<QByteArray, QByteArray>> headers; // in arrival order
    QMultiMap<QByteArray, QByteArray> parameters;
    std::map<QByteArray, std::unique_ptr<QTemporaryFile>> uploadedFiles;
    QMap<QByteArray, QByteArray> cookies;
    QByteArray bodyData;
    QByteArray requestMethod;
    QByteArray requestPath;
    QByteArray rawQuery;
    QByteArray targetAuthority;
    QByteArray requestVersion;
    ParseState state = ExpectRequestLine;
    bool badRequest = false;
    qint64 maxSize;
    qint64 maxMultiPartSize;
    qint64 receivedBytes = 0;
    qint64 expectedBodySize = 0;
    QByteArray currentHeader;
    QByteArray boundary;
    std::unique_ptr<QTemporaryFile> spoolFile;
    QByteArray lineBuffer;
    bool encrypted = false;
};

#endif // HTTPREQUEST_H
