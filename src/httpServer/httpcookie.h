#ifndef HTTPCOOKIE_H
#define HTTPCOOKIE_H

#include <QByteArray>
#include <QList>

// A cookie sent with a response as one Set-Cookie line.
class HttpCookie
{
public:
    HttpCookie();
    HttpCookie(const QByteArray &name, const QByteArray &value, int maxAge, const QByteArray &path = "/",
               const QByteArray &comment = QByteArray(), const QByteArray &domain = QByteArray(), bool secure = false);

    QByteArray toHeaderValue() const;

    void setName(const QByteArray &name);
    void setValue(const QByteArray &value);
    void setComment(const QByteArray &comment);
    void setDomain(const QByteArray &domain);
    void setMaxAge(int maxAge);
    void setPath(const QByteArray &path);
    void setSecure(bool secure);

    QByteArray getName() const;
    QByteArray getValue() const;
    QByteArray getComment() const;
    QByteArray getDomain() const;
    int getMaxAge() const;
    QByteArray getPath() const;
    bool getSecure() const;
    int getVersion() const;

    // Splits an attribute list at ';' outside double quotes; quotes are dropped.
    static QList<QByteArray> splitAttributes(const QByteArray &source);

private:
    QByteArray name;
    QByteArray value;
    QByteArray comment;
    QByteArray domain;
    int maxAge = 0;
    QByteArray path;
    bool secure = false;
    int version = 1;
};

#endif // HTTPCOOKIE_H
