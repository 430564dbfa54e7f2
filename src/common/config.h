#ifndef CONFIG_H
#define CONFIG_H

#include <QHostAddress>
#include <QString>
#include <QStringList>
#include <QVariant>

#include "mqttsettings.h"

// config.ini, read once at start by readConfig and handed out in parts: each
// subsystem gets its own part, by value, and never sees the file. The values
// below are those of a missing key.

// [listener]: the HTTP server.
struct ListenerSettings
{
    QString host; // empty: any address
    int port = 0; // 0: the system picks one
    int minThreads = 1;
    int maxThreads = 100;
    int cleanupInterval = 10000; // ms
    // Absolute paths (a relative one counts from config.ini's folder); TLS
    // needs both.
    QString sslKeyFile;
    QString sslCertFile;
    int readTimeout = 10000; // ms of silence before a connection is closed
    int requestTimeout = 60000; // ms for a whole request, see the handler
    qint64 maxRequestSize = 16000;
    qint64 maxMultiPartSize = 1000000;
    // Names besides IP literals and "localhost" that browsers may use for this
    // gateway: `host` and the comma-separated `allowedHosts`.
    QStringList allowedHosts;
};

// [docroot]: the document root and the static files' cache.
struct DocrootSettings
{
    // Once read, a relative path counts from config.ini's folder; embedded
    // roots (":/", "qrc://") stay as they are. Static files, the modules
    // listing and module updates all use this one path.
    QString path = QStringLiteral(".");
    QString encoding = QStringLiteral("UTF-8");
    int maxAge = 60000; // ms
    int maxCachedFileSize = 65536;
    int cacheSize = 1000000;
    int cacheTime = 60000; // ms
};

// [modbus]: the Modbus master.
struct ModbusSettings
{
    // Serial ports listed after the machine's own (pty pairs, virtual ports).
    QStringList extraPorts;
    // The pause before each read and write (ms, 0 to 10000); on RTU at least the line's 3.5-character silence.
    int pauseMs = 100;
    // Whether a TCP link stays open between calls instead of being reopened.
    bool tcpKeepOpen = false;
};

// [updates]: the module update client. `responseMaxWaitTime`, which older
// files carry, is accepted and ignored.
struct UpdatesSettings
{
    QString updateServer = QStringLiteral(".");
    // Idle time after which a job's request is given up (ms, 0: never).
    int transferTimeout = 100000;
    // Largest single file and largest job, in bytes.
    qint64 maxFileSize = 64 * 1024 * 1024;
    qint64 maxJobSize = 256 * 1024 * 1024;
    // Longest a whole job may take (ms).
    int jobTimeout = 1800000;
};

// [discovery]: where and how long a device search looks.
struct DiscoverySettings
{
    QHostAddress broadcastAddress{QHostAddress::Broadcast}; // null: nothing is sent
    quint16 port = 30303;
    int searchWindow = 3000; // ms after the start during which replies are taken
};

// [email]: the mail server of the contact report.
struct EmailSettings
{
    QString server; // empty: reports are refused
    QString from;
    QString to;
    QString user;
    QString password;
    QString tool = QStringLiteral("curl"); // key `curl`
    // Accept any certificate (self-signed servers), as curl's -k does.
    bool insecureTls = false;
    // A further CA the server's certificate may be signed by.
    QString caFile;
};

// [logging]: the projects' CSV logs.
struct LoggingSettings
{
    QString directory; // empty: the per-user data directory's logs/
    int keepDays = 30; // 0 or below keeps every file
};

// The tray's keys: [listener] `port` as the browser address uses it, and
// [other] `prefLang`. The tray writes both back into configFile.
struct TraySettings
{
    int port = 80;
    QString prefLang; // empty: chosen from the system locale
    QString configFile;
};

struct BrioConfig
{
    QString file;
    ListenerSettings listener;
    DocrootSettings docroot;
    ModbusSettings modbus;
    UpdatesSettings updates;
    DiscoverySettings discovery;
    EmailSettings email;
    MqttSettings mqtt;
    LoggingSettings logging;
    TraySettings tray;
};

// Every key of the file at path; a missing file gives the defaults. Values
// that do not parse fall back as each key's comment in config.cpp says.
BrioConfig readConfig(const QString &path);

// Writes one "group/key" into the file: the tray's language and port choices.
void writeConfigValue(const QString &path, const QString &key, const QVariant &value);

#endif // CONFIG_H
