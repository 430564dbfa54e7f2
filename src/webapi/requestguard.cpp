#include "requestguard.h"
#include "httprequest.h"

#include "endpoint.h"

#include <QHostAddress>
#include <QSettings>
#include <QUrl>

namespace {

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

// Any sign that another origin sent the request: fetch metadata covers
// what Origin does not (browsers send no Origin on a top-level or <img>
// GET), and "none" is a navigation the user started outside the page.
bool showsForeignOrigin(const HttpRequest &request, const QByteArray &ownOrigin)
{
    for (const QByteArray &site : request.headerValues("Sec-Fetch-Site")) {
        if (site.trimmed().compare("same-origin", Qt::CaseInsensitive) != 0)
            return true;
    }
    for (const QByteArray &origin : request.headerValues("Origin")) {
        if (!sameOrigin(origin.trimmed(), ownOrigin))
            return true;
    }
    for (const QByteArray &referer : request.headerValues("Referer")) {
        if (!sameOrigin(referer.trimmed(), ownOrigin))
            return true;
    }
    return false;
}

// A same-origin fetch of the page (not a navigation), or a header that
// only a same-origin script can add without a preflight.
bool carriesProof(const HttpRequest &request)
{
    const QList<QByteArray> sites = request.headerValues("Sec-Fetch-Site");
    const QList<QByteArray> modes = request.headerValues("Sec-Fetch-Mode");
    bool fetched = !sites.isEmpty() && !modes.isEmpty();
    for (const QByteArray &mode : modes)
        fetched = fetched && !mode.trimmed().isEmpty() && mode.trimmed().compare("navigate", Qt::CaseInsensitive) != 0;
    if (fetched)
        return true;
    for (const QByteArray &value : request.headerValues("X-Requested-With")) {
        if (!value.trimmed().isEmpty())
            return true;
    }
    return false;
}

} // namespace

RequestGuard::RequestGuard(const QStringList &allowedNames)
{
    for (const QString &name : allowedNames) {
        const QString normal = normalName(name);
        // Addresses are judged as addresses: a configured 0.0.0.0 stays refused.
        if (!normal.isEmpty() && !isIpLiteral(normal.toLatin1()) && !names.contains(normal))
            names.append(normal);
    }
}

RequestGuard RequestGuard::fromConfigFile(const QString &configFileName)
{
    QStringList allowed;
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

bool RequestGuard::isUnspecifiedAddress(const QByteArray &host)
{
    if (!isIpLiteral(host))
        return false;
    if (!host.contains(':')) {
        for (const QByteArray &part : host.split('.')) {
            if (part.toInt() != 0)
                return false;
        }
        return true;
    }
    const Q_IPV6ADDR address = QHostAddress(QString::fromLatin1(host)).toIPv6Address();
    // Also ::ffff:0.0.0.0, the IPv4 one written as IPv6.
    for (int i = 0; i < 16; ++i) {
        const bool mappedMark = (i == 10 || i == 11) && address[i] == 0xFF;
        if (address[i] != 0 && !mappedMark)
            return false;
    }
    return address[10] == address[11];
}

bool RequestGuard::isAllowedHost(const QByteArray &hostHeader) const
{
    const QByteArray host = hostName(hostHeader);
    if (host.isEmpty())
        return false;
    if (isIpLiteral(host))
        return !isUnspecifiedAddress(host);
    const QString name = normalName(QString::fromLatin1(host));
    return name == QLatin1String("localhost") || names.contains(name);
}

bool RequestGuard::isGuardedPath(const QByteArray &path)
{
    return endpointOf(path) != Endpoint::File;
}

RequestGuard::Verdict RequestGuard::check(const HttpRequest &request) const
{
    QList<QByteArray> hosts = request.headerValues("Host");
    hosts.removeAll(QByteArray());
    // An absolute-form target names the host a second time; both must pass and agree.
    if (!request.authority().isEmpty())
        hosts.append(request.authority());
    for (const QByteArray &host : hosts) {
        if (!isAllowedHost(host) || host.trimmed().compare(hosts.first().trimmed(), Qt::CaseInsensitive) != 0)
            return ForeignHost;
    }
    if (!isGuardedPath(request.path()))
        return Allowed;
    // Without a Host the request's own origin is unknown: nothing can match it.
    const QByteArray ownOrigin =
            hosts.isEmpty() ? QByteArray() : (request.isEncrypted() ? "https://" : "http://") + hosts.first().trimmed();
    if (showsForeignOrigin(request, ownOrigin))
        return CrossSite;
    return carriesProof(request) ? Allowed : NoProof;
}
