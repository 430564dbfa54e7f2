#ifndef HTTPTESTSUPPORT_H
#define HTTPTESTSUPPORT_H

// A loopback server for the HTTP tests, built from a settings map; the client
// side is httpclient.h. The listener lives on the test's main thread, so
// every wait keeps the event loop running.

#include <QDir>
#include <QSettings>
#include <QTemporaryDir>
#include <QVariantMap>

#include <functional>
#include <memory>

#include "httpclient.h"
#include "httpconnectionhandlerpool.h"
#include "httplistener.h"
#include "httprequesthandler.h"

namespace httptest {

// Owns the configuration directory, the settings and the listener; tears the
// listener (and with it every handler thread) down when it goes.
class Server
{
public:
    // prepare runs on the configuration directory before the listener starts.
    Server(HttpRequestHandler *handler, const QVariantMap &listenerSettings,
           const std::function<void(const QString &)> &prepare = {})
    {
        if (prepare)
            prepare(dir.path());
        const QString file = dir.filePath(QStringLiteral("config.ini"));
        {
            QSettings writer(file, QSettings::IniFormat);
            writer.beginGroup(QStringLiteral("listener"));
            writer.setValue(QStringLiteral("host"), QStringLiteral("127.0.0.1"));
            writer.setValue(QStringLiteral("port"), 0);
            for (auto it = listenerSettings.cbegin(); it != listenerSettings.cend(); ++it)
                writer.setValue(it.key(), it.value());
        }
        listener = std::make_unique<HttpListener>(readConfig(file).listener, handler);
    }
    ~Server() { listener.reset(); }

    quint16 port() const { return listener->serverPort(); }
    HttpConnectionHandlerPool *pool() const { return listener->connectionPool(); }
    QString configDir() const { return dir.path(); }

    QTemporaryDir dir;
    std::unique_ptr<HttpListener> listener;
};

} // namespace httptest

#endif // HTTPTESTSUPPORT_H
