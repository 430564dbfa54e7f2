#include "httpcookie.h"

HttpCookie::HttpCookie() = default;

HttpCookie::HttpCookie(const QByteArray &name, const QByteArray &value, int maxAge, const QByteArray &path,
                       const QByteArray &comment, const QByteArray &domain, bool secure)
    : name(name), value(value), comment(comment), domain(domain), maxAge(maxAge), path(path), secure(secure)
{}

QByteArray HttpCookie::toHeaderValue() const
{
    QByteArray buffer;
    buffer.reserve(name.size() + value.size() + comment.size() + domain.size() + path.size() + 64);
    buffer += name;
    buffer += '=';
    buffer += value;
    if (!comment.isEmpty())
        buffer += "; Comment=" + comment;
    if (!domain.isEmpty())
        buffer += "; Domain=" + domain;
    if (maxAge != 0)
        buffer += "; Max-Age=" + QByteArray::number(maxAge);
    if (!path.isEmpty())
        buffer += "; Path=" + path;
    if (secure)
        buffer += "; Secure";
    buffer += "; Version=" + QByteArray::number(version);
    return buffer;
}

void HttpCookie::setName(const QByteArray &name)
{
    this->name = name;
}
void HttpCookie::setValue(const QByteArray &value)
{
    this->value = value;
}
void HttpCookie::setComment(const QByteArray &comment)
{
    this->comment = comment;
}
void HttpCookie::setDomain(const QByteArray &domain)
{
    this->domain = domain;
}
void HttpCookie::setMaxAge(int maxAge)
{
    this->maxAge = maxAge;
}
void HttpCookie::setPath(const QByteArray &path)
{
    this->path = path;
}
void HttpCookie::setSecure(bool secure)
{
    this->secure = secure;
}

QByteArray HttpCookie::getName() const
{
    return name;
}
QByteArray HttpCookie::getValue() const
{
    return value;
}
QByteArray HttpCookie::getComment() const
{
    return comment;
}
QByteArray HttpCookie::getDomain() const
{
    return domain;
}
int HttpCookie::getMaxAge() const
{
    return maxAge;
}
QByteArray HttpCookie::getPath() const
{
    return path;
}
bool HttpCookie::getSecure() const
{
    return secure;
}
int HttpCookie::getVersion() const
{
    return version;
}

QList<QByteArray> HttpCookie::splitAttributes(const QByteArray &source)
{
    QList<QByteArray> list;
    QByteArray piece;
    bool inQuotes = false;
    for (const char c : source) {
        if (inQuotes) {
            if (c == '"')
                inQuotes = false;
            else
                piece += c;
        } else if (c == '"') {
            inQuotes = true;
        } else if (c == ';') {
            const QByteArray trimmed = piece.trimmed();
            if (!trimmed.isEmpty())
                list.append(trimmed);
            piece.clear();
        } else {
            piece += c;
        }
    }
    const QByteArray trimmed = piece.trimmed();
    if (!trimmed.isEmpty())
        list.append(trimmed);
    return list;
}
