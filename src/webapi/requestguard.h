#ifndef REQUESTGUARD_H
#define REQUESTGUARD_H

#include <QByteArray>
#include <QMultiMap>
#include <QStringList>

class QSettings;

// Decides whether a request may reach the gateway at all. Any web page the
// user visits can make the browser send requests to the loopback port, so:
// - the Host must name this machine (a page that rebinds its own DNS name to
//   127.0.0.1 still sends its own name), and
// - the endpoints that act (AJAX calls, file echoes) must be asked for by a
//   page of the gateway itself, as fetch metadata, Origin and Referer tell.
// Immutable after construction; read by all handler threads at once.
class RequestGuard
{
public:
    enum Verdict { Allowed, ForeignHost, CrossSite };

    // Besides IP literals and "localhost", the Host may carry one of these
    // names (compared whole, without letter case).
    explicit RequestGuard(const QStringList &allowedNames = QStringList());

    // The names from the listener group of the configuration file
    // (`host`, `allowedHosts`) and the machine's own host name.
    static RequestGuard fromConfigFile(const QString &configFileName);
    static QStringList machineNames();

    // headers: the request's header map, path: its decoded path,
    // encrypted: whether it came over TLS.
    Verdict check(const QMultiMap<QByteArray, QByteArray> &headers, const QByteArray &path, bool encrypted) const;

    bool isAllowedHost(const QByteArray &hostHeader) const;
    static bool isIpLiteral(const QByteArray &host);
    // The host of a Host header value, without port and brackets; empty
    // when the value is malformed.
    static QByteArray hostName(const QByteArray &hostHeader);
    static bool isGuardedPath(const QByteArray &path);
    // ownOrigin: "http://" or "https://" followed by the Host header.
    static bool isCrossSite(const QMultiMap<QByteArray, QByteArray> &headers, const QByteArray &ownOrigin);

    QStringList allowedNames() const;

private:
    QStringList names; // lower case, without a trailing dot
};

#endif // REQUESTGUARD_H
