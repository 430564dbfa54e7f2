#ifndef REQUESTGUARD_H
#define REQUESTGUARD_H

#include <QByteArray>
#include <QStringList>

class HttpRequest;

// Decides whether a request may reach the gateway at all. Any web page the
// user visits can make the browser send requests to the loopback port, so:
// - the Host must name this gateway (a page that rebinds its own DNS name
//   to 127.0.0.1 still sends its own name), and
// - the endpoints that act (AJAX calls, file echoes) must carry a proof
//   that the gateway's own page asked: fetch metadata of a same-origin
//   fetch, or a header no other page can send without a CORS preflight,
//   which is never granted. Navigations (a link in a mail, a PDF, a chat)
//   carry neither.
// Immutable after construction; read by all handler threads at once.
class RequestGuard
{
public:
    enum Verdict { Allowed, ForeignHost, CrossSite, NoProof };

    // Besides IP literals and "localhost", the Host may carry one of these
    // names (compared whole, without letter case). Nothing is taken from
    // the machine or the network: its name, mDNS and the DHCP search domain
    // are all in the hands of whoever runs the network.
    explicit RequestGuard(const QStringList &allowedNames = QStringList());

    // The names from the listener group of the configuration file
    // (`host`, `allowedHosts`).
    static RequestGuard fromConfigFile(const QString &configFileName);

    // Meant for a request whose headers are complete; reads no body.
    Verdict check(const HttpRequest &request) const;

    bool isAllowedHost(const QByteArray &hostHeader) const;
    static bool isIpLiteral(const QByteArray &host);
    // 0.0.0.0 and ::, which reach this machine on some systems but name no host.
    static bool isUnspecifiedAddress(const QByteArray &host);
    // The host of a Host header value, without port and brackets; empty
    // when the value is malformed.
    static QByteArray hostName(const QByteArray &hostHeader);
    static bool isGuardedPath(const QByteArray &path);

    QStringList allowedNames() const;

private:
    QStringList names; // lower case, without a trailing dot
};

#endif // REQUESTGUARD_H
