#include "requestguard.h"

#include "endpoint.h"

#include <QHostAddress>
#include <QHostInfo>
#include <QSettings>
#include <QUrl>

namespace {

// Header names are matched without letter case here: a lower-case
// "sec-fetch-site" must not slip past the check.
QList<QByteArray> valuesOf(const QMultiMap<QByteArray, QByteArray> &headers, const char *name)
{
    QList<QByteArray> values;
    for (auto it = headers.constBegin(); it != headers.constEnd(); ++it) {
        if (it.key().trimmed().compare(name, Qt::CaseInsensitive) == 0)
            values.append(it.value().trimmed());
    }
    return values;
}

QString normalName(QString name)
{
    name = name.trimmed().toLower();
    if (name.endsWith(QLatin1Char('.')))
        name.chop(1);
    return name;
}

int defaultPort(const QString &scheme)
{
    if (scheme == QLatin1String("http"))
        return 80;
    if (scheme == QLatin1String("https"))
        return 443;
    return -1;
}

bool sameOrigin(const QByteArray &url, const QByteArray &ownOrigin)
{
    const QUrl theirs(QString::fromLatin1(url), QUrl::StrictMode);
    const QUrl ours(QString::fromLatin1(ownOrigin), QUrl::StrictMode);
    if (!theirs.isValid() || !ours.isValid() || theirs.host().isEmpty() || ours.host().isEmpty())
        return false;
    const QString scheme = theirs.scheme().toLower();
    const int port = defaultPort(scheme);
    return port > 0 && scheme == ours.scheme().toLower() && theirs.host().compare(ours.host(), Qt::CaseInsensitive) == 0
            && theirs.port(port) == ours.port(port);
}

} // namespace

RequestGuard::RequestGuard(const QStringList &allowedNames)
{
    for (const QString &name : allowedNames) {
        const QString normal = normalName(name);
        if (!normal.isEmpty() && !names.contains(normal))
            names.append(normal);
    }
}

QStringList RequestGuard::machineNames()
{
    QStringList result;
    QString name = normalName(QHostInfo::localHostName());
    if (name.isEmpty())
        return result;
    if (name.endsWith(QLatin1String(".local")))
        name.chop(6);
    result << name << name + QLatin1String(".local");
    const QString domain = normalName(QHostInfo::localDomainName());
    if (!domain.isEmpty())
        result << name + QLatin1Char('.') + domain;
    return result;
}

RequestGuard RequestGuard::fromConfigFile(const QString &configFileName)
{
    QStringList allowed = machineNames();
    if (!configFileName.isEmpty()) {
        QSettings config(configFileName, QSettings::IniFormat);
        config.beginGroup(QStringLiteral("listener"));
        allowed << config.value(QStringLiteral("host")).toString();
        // An unquoted list with commas already reads as a string list.
        const QStringList entries = config.value(QStringLiteral("allowedHosts")).toStringList();
        for (const QString &entry : entries)
            allowed << entry.split(QLatin1Char(','));
    }
    return RequestGuard(allowed);
}

QStringList RequestGuard::allowedNames() const
{
    return names;
}

QByteArray RequestGuard::hostName(const QByteArray &hostHeader)
{
    const QByteArray value = hostHeader.trimmed();
    QByteArray host = value;
    QByteArray port;
    if (value.startsWith('[')) {
        const int end = value.indexOf(']');
        if (end < 0)
            return QByteArray();
        host = value.mid(1, end - 1);
        const QByteArray rest = value.mid(end + 1);
        if (!rest.isEmpty() && !rest.startsWith(':'))
            return QByteArray();
        port = rest.mid(1);
    } else if (value.count(':') == 1) {
        // More than one colon is an IPv6 address without brackets.
        host = value.left(value.indexOf(':'));
        port = value.mid(value.indexOf(':') + 1);
    }
    for (char c : port) {
        if (c < '0' || c > '9')
            return QByteArray();
    }
    return host;
}

bool RequestGuard::isIpLiteral(const QByteArray &host)
{
    if (host.contains(':')) {
        QHostAddress address;
        return address.setAddress(QString::fromLatin1(host)) && address.protocol() == QAbstractSocket::IPv6Protocol;
    }
    // Browsers send IPv4 hosts as four decimal numbers; anything else is a name.
    const QList<QByteArray> parts = host.split('.');
    if (parts.size() != 4)
        return false;
    for (const QByteArray &part : parts) {
        if (part.isEmpty() || part.size() > 3)
            return false;
        for (char c : part) {
            if (c < '0' || c > '9')
                return false;
        }
        if (part.toInt() > 255)
            return false;
    }
    return true;
}

bool RequestGuard::isAllowedHost(const QByteArray &hostHeader) const
{
    const QByteArray host = hostName(hostHeader);
    if (host.isEmpty())
        return false;
    if (isIpLiteral(host))
        return true;
    const QString name = normalName(QString::fromLatin1(host));
    return name == QLatin1String("localhost") || names.contains(name);
}

bool RequestGuard::isGuardedPath(const QByteArray &path)
{
    return endpointOf(path) != Endpoint::File;
}

bool RequestGuard::isCrossSite(const QMultiMap<QByteArray, QByteArray> &headers, const QByteArray &ownOrigin)
{
    // Fetch metadata covers what Origin does not: browsers send no Origin on
    // a top-level or <img> GET from another site.
    for (const QByteArray &site : valuesOf(headers, "Sec-Fetch-Site")) {
        const QByteArray value = site.toLower();
        if (value != "same-origin" && value != "none")
            return true;
    }
    for (const QByteArray &origin : valuesOf(headers, "Origin")) {
        if (!sameOrigin(origin, ownOrigin))
            return true;
    }
    for (const QByteArray &referer : valuesOf(headers, "Referer")) {
        if (!sameOrigin(referer, ownOrigin))
            return true;
    }
    return false;
}

RequestGuard::Verdict RequestGuard::check(const QMultiMap<QByteArray, QByteArray> &headers, const QByteArray &path,
                                          bool encrypted) const
{
    QList<QByteArray> hosts = valuesOf(headers, "Host");
    hosts.removeAll(QByteArray());
    for (const QByteArray &host : hosts) {
        if (!isAllowedHost(host) || host.compare(hosts.first(), Qt::CaseInsensitive) != 0)
            return ForeignHost;
    }
    if (!isGuardedPath(path))
        return Allowed;
    // Without a Host the request's own origin is unknown: nothing can match it.
    const QByteArray ownOrigin = hosts.isEmpty() ? QByteArray() : (encrypted ? "https://" : "http://") + hosts.first();
    return isCrossSite(headers, ownOrigin) ? CrossSite : Allowed;
}
