#include "config.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>

#include <climits>

namespace {

// A number that does not parse, or does not fit, keeps the default.
int number(const QSettings &ini, const char *key, int fallback)
{
    bool ok = false;
    const qint64 value = ini.value(QLatin1String(key), fallback).toLongLong(&ok);
    return ok && value >= INT_MIN && value <= INT_MAX ? int(value) : fallback;
}

qint64 size(const QSettings &ini, const char *key, qint64 fallback)
{
    bool ok = false;
    const qint64 value = ini.value(QLatin1String(key), fallback).toLongLong(&ok);
    return ok ? value : fallback;
}

// A bound that is no number, or not above zero, keeps the default.
qint64 positive(const QSettings &ini, const char *key, qint64 fallback)
{
    bool ok = false;
    const qint64 value = ini.value(QLatin1String(key)).toLongLong(&ok);
    return ok && value > 0 ? value : fallback;
}

QString text(const QSettings &ini, const char *key, const QString &fallback = QString())
{
    return ini.value(QLatin1String(key), fallback).toString();
}

// Comma-separated entries, trimmed, empty ones dropped. Unquoted commas
// already make QSettings read a list.
QStringList commaList(const QSettings &ini, const char *key)
{
    QStringList entries;
    for (const QString &raw : ini.value(QLatin1String(key)).toStringList()) {
        for (const QString &piece : raw.split(QLatin1Char(','))) {
            if (!piece.trimmed().isEmpty())
                entries.append(piece.trimmed());
        }
    }
    return entries;
}

// A relative path counts from the folder of config.ini.
QString besideConfig(const QString &path, const QDir &configDir)
{
    if (path.isEmpty() || !QDir::isRelativePath(path))
        return path;
    return QFileInfo(configDir, path).absoluteFilePath();
}

QString documentRoot(const QString &configured, const QDir &configDir)
{
    if (configured.startsWith(QLatin1String(":/")) || configured.startsWith(QLatin1String("qrc://"))
        || QDir::isAbsolutePath(configured))
        return configured;
    return QFileInfo(configDir.absolutePath() + QLatin1Char('/') + configured).absoluteFilePath();
}

ListenerSettings readListener(const QSettings &ini, const QDir &configDir)
{
    ListenerSettings s;
    s.host = text(ini, "host");
    s.port = number(ini, "port", s.port);
    s.minThreads = number(ini, "minThreads", s.minThreads);
    s.maxThreads = number(ini, "maxThreads", s.maxThreads);
    s.cleanupInterval = number(ini, "cleanupInterval", s.cleanupInterval);
    s.sslKeyFile = besideConfig(text(ini, "sslKeyFile"), configDir);
    s.sslCertFile = besideConfig(text(ini, "sslCertFile"), configDir);
    s.readTimeout = number(ini, "readTimeout", s.readTimeout);
    s.requestTimeout = number(ini, "requestTimeout", s.requestTimeout);
    s.maxRequestSize = size(ini, "maxRequestSize", s.maxRequestSize);
    s.maxMultiPartSize = size(ini, "maxMultiPartSize", s.maxMultiPartSize);
    s.allowedHosts = QStringList{s.host} + commaList(ini, "allowedHosts");
    s.allowedHosts.removeAll(QString());
    return s;
}

DocrootSettings readDocroot(const QSettings &ini, const QDir &configDir)
{
    DocrootSettings s;
    s.path = documentRoot(text(ini, "path", s.path), configDir);
    s.encoding = text(ini, "encoding", s.encoding);
    s.maxAge = number(ini, "maxAge", s.maxAge);
    s.maxCachedFileSize = number(ini, "maxCachedFileSize", s.maxCachedFileSize);
    s.cacheSize = number(ini, "cacheSize", s.cacheSize);
    s.cacheTime = number(ini, "cacheTime", s.cacheTime);
    return s;
}

ModbusSettings readModbus(const QSettings &ini)
{
    ModbusSettings s;
    s.extraPorts = commaList(ini, "extraPorts");
    const int pause = number(ini, "pauseMs", s.pauseMs);
    // A longer pause would hold the router's Modbus lock past its 10 s wait.
    s.pauseMs = pause >= 0 ? qMin(pause, 10000) : s.pauseMs;
    s.tcpKeepOpen = ini.value(QStringLiteral("tcpKeepOpen"), s.tcpKeepOpen).toBool();
    return s;
}

UpdatesSettings readUpdates(const QSettings &ini)
{
    UpdatesSettings s;
    s.updateServer = text(ini, "updateServer", s.updateServer);
    // No number here means no idle limit, as it always has.
    s.transferTimeout = ini.value(QStringLiteral("transferTimeout"), s.transferTimeout).toInt();
    s.maxFileSize = positive(ini, "maxFileSize", s.maxFileSize);
    s.maxJobSize = positive(ini, "maxJobSize", s.maxJobSize);
    s.jobTimeout = int(qMin<qint64>(positive(ini, "jobTimeout", s.jobTimeout), INT_MAX));
    return s;
}

DiscoverySettings readDiscovery(const QSettings &ini)
{
    DiscoverySettings s;
    const QString address = text(ini, "broadcastAddress", QStringLiteral("255.255.255.255")).trimmed();
    s.broadcastAddress = QHostAddress(address);
    if (s.broadcastAddress.isNull())
        qWarning("DeviceFinder: broadcastAddress %s is no address; nothing is sent", qPrintable(address));
    const int port = number(ini, "port", 0);
    if (port >= 1 && port <= 65535)
        s.port = quint16(port);
    const int window = number(ini, "searchWindow", 0);
    if (window > 0)
        s.searchWindow = window;
    return s;
}

EmailSettings readEmail(const QSettings &ini)
{
    EmailSettings s;
    s.server = text(ini, "server").trimmed();
    s.from = text(ini, "from");
    s.to = text(ini, "to");
    s.user = text(ini, "user");
    s.password = text(ini, "password");
    s.tool = text(ini, "curl", s.tool);
    if (s.tool.isEmpty())
        s.tool = QStringLiteral("curl");
    s.insecureTls = ini.value(QStringLiteral("insecureTls"), false).toBool();
    s.caFile = text(ini, "caFile").trimmed();
    return s;
}

MqttSettings readMqtt(const QSettings &ini)
{
    MqttSettings s;
    s.host = text(ini, "host").trimmed();
    const int port = number(ini, "port", 0);
    if (port >= 1 && port <= 65535)
        s.port = quint16(port);
    s.tls = ini.value(QStringLiteral("tls"), false).toBool();
    s.caFile = text(ini, "caFile").trimmed();
    s.user = text(ini, "user");
    s.password = text(ini, "password");
    s.clientId = text(ini, "clientId").trimmed();
    s.topicPrefix = text(ini, "topicPrefix").trimmed();
    return s;
}

LoggingSettings readLogging(const QSettings &ini)
{
    LoggingSettings s;
    s.directory = text(ini, "directory").trimmed();
    s.keepDays = number(ini, "keepDays", s.keepDays);
    return s;
}

// Groups are entered and left by one place, so no reader depends on
// another's position.
template<typename Reader>
auto inGroup(QSettings &ini, const char *group, Reader read)
{
    ini.beginGroup(QLatin1String(group));
    auto settings = read(ini);
    ini.endGroup();
    return settings;
}

} // namespace

BrioConfig readConfig(const QString &path)
{
    BrioConfig config;
    config.file = path;
    QSettings ini(path, QSettings::IniFormat);
    const QDir configDir = QFileInfo(path).absoluteDir();
    config.listener = inGroup(ini, "listener", [&](const QSettings &g) { return readListener(g, configDir); });
    config.docroot = inGroup(ini, "docroot", [&](const QSettings &g) { return readDocroot(g, configDir); });
    config.modbus = inGroup(ini, "modbus", readModbus);
    config.updates = inGroup(ini, "updates", readUpdates);
    config.discovery = inGroup(ini, "discovery", readDiscovery);
    config.email = inGroup(ini, "email", readEmail);
    config.mqtt = inGroup(ini, "mqtt", readMqtt);
    config.logging = inGroup(ini, "logging", readLogging);
    // The tray has always taken a missing port as 80 and any other text as a number.
    config.tray.port = ini.value(QStringLiteral("listener/port"), config.tray.port).toInt();
    config.tray.prefLang = ini.value(QStringLiteral("other/prefLang")).toString();
    config.tray.configFile = path;
    return config;
}

void writeConfigValue(const QString &path, const QString &key, const QVariant &value)
{
    if (!path.isEmpty())
        QSettings(path, QSettings::IniFormat).setValue(key, value);
}
