#include <QTemporaryDir>
#include <QtTest>

#include "apptestsupport.h"
#include "config.h"

namespace {

// Every value as "group.key" = text, so that one table covers every key.
// clang-format off
QMap<QString, QString> flatten(const BrioConfig &c)
{
    const auto n = [](qint64 v) { return QString::number(v); };
    const auto b = [](bool v) { return QString::fromLatin1(v ? "true" : "false"); };
    const ListenerSettings &l = c.listener;
    const DocrootSettings &d = c.docroot;
    const UpdatesSettings &u = c.updates;
    const EmailSettings &e = c.email;
    const MqttSettings &m = c.mqtt;
    return {{"listener.host", l.host}, {"listener.port", n(l.port)}, {"listener.minThreads", n(l.minThreads)},
            {"listener.maxThreads", n(l.maxThreads)}, {"listener.cleanupInterval", n(l.cleanupInterval)},
            {"listener.sslKeyFile", l.sslKeyFile}, {"listener.sslCertFile", l.sslCertFile},
            {"listener.readTimeout", n(l.readTimeout)}, {"listener.requestTimeout", n(l.requestTimeout)},
            {"listener.maxRequestSize", n(l.maxRequestSize)}, {"listener.maxMultiPartSize", n(l.maxMultiPartSize)},
            {"listener.allowedHosts", l.allowedHosts.join('|')},
            {"docroot.path", d.path}, {"docroot.encoding", d.encoding}, {"docroot.maxAge", n(d.maxAge)},
            {"docroot.maxCachedFileSize", n(d.maxCachedFileSize)}, {"docroot.cacheSize", n(d.cacheSize)},
            {"docroot.cacheTime", n(d.cacheTime)},
            {"modbus.extraPorts", c.modbus.extraPorts.join('|')}, {"modbus.pauseMs", n(c.modbus.pauseMs)},
            {"modbus.tcpKeepOpen", b(c.modbus.tcpKeepOpen)},
            {"updates.updateServer", u.updateServer}, {"updates.transferTimeout", n(u.transferTimeout)},
            {"updates.maxFileSize", n(u.maxFileSize)}, {"updates.maxJobSize", n(u.maxJobSize)},
            {"updates.jobTimeout", n(u.jobTimeout)},
            {"discovery.broadcastAddress", c.discovery.broadcastAddress.toString()},
            {"discovery.port", n(c.discovery.port)}, {"discovery.searchWindow", n(c.discovery.searchWindow)},
            {"email.server", e.server}, {"email.from", e.from}, {"email.to", e.to}, {"email.user", e.user},
            {"email.password", e.password}, {"email.curl", e.tool}, {"email.insecureTls", b(e.insecureTls)},
            {"email.caFile", e.caFile},
            {"mqtt.host", m.host}, {"mqtt.port", n(m.port)}, {"mqtt.tls", b(m.tls)}, {"mqtt.caFile", m.caFile},
            {"mqtt.user", m.user}, {"mqtt.password", m.password}, {"mqtt.clientId", m.clientId},
            {"mqtt.topicPrefix", m.topicPrefix},
            {"logging.directory", c.logging.directory}, {"logging.keepDays", n(c.logging.keepDays)},
            {"tray.port", n(c.tray.port)}, {"tray.prefLang", c.tray.prefLang}};
}
// clang-format on

} // namespace

class TestConfig : public QObject
{
    Q_OBJECT
private slots:
    void readConfig_data();
    void readConfig();
};

// clang-format off
void TestConfig::readConfig_data()
{
    QTest::addColumn<QByteArray>("ini"); // one line, in the group the key names
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value"); // {dir}: the folder of config.ini

    const QMap<QString, QString> defaults = {
            {"listener.host", ""}, {"listener.port", "0"}, {"listener.minThreads", "1"},
            {"listener.maxThreads", "100"}, {"listener.cleanupInterval", "10000"}, {"listener.sslKeyFile", ""},
            {"listener.sslCertFile", ""}, {"listener.readTimeout", "10000"}, {"listener.requestTimeout", "60000"},
            {"listener.maxRequestSize", "16000"}, {"listener.maxMultiPartSize", "1000000"},
            {"listener.allowedHosts", ""}, {"docroot.path", "{dir}"}, {"docroot.encoding", "UTF-8"},
            {"docroot.maxAge", "60000"}, {"docroot.maxCachedFileSize", "65536"}, {"docroot.cacheSize", "1000000"},
            {"docroot.cacheTime", "60000"}, {"modbus.extraPorts", ""}, {"modbus.pauseMs", "100"},
            {"modbus.tcpKeepOpen", "false"}, {"updates.updateServer", "."}, {"updates.transferTimeout", "100000"},
            {"updates.maxFileSize", "67108864"}, {"updates.maxJobSize", "268435456"},
            // Only the value read back is compared: no test sends to this address.
            {"updates.jobTimeout", "1800000"}, {"discovery.broadcastAddress", "255.255.255.255"},
            {"discovery.port", "30303"}, {"discovery.searchWindow", "3000"}, {"email.server", ""},
            {"email.from", ""}, {"email.to", ""}, {"email.user", ""}, {"email.password", ""},
            {"email.curl", "curl"}, {"email.insecureTls", "false"}, {"email.caFile", ""}, {"mqtt.host", ""},
            {"mqtt.port", "1883"}, {"mqtt.tls", "false"}, {"mqtt.caFile", ""}, {"mqtt.user", ""},
            {"mqtt.password", ""}, {"mqtt.clientId", ""}, {"mqtt.topicPrefix", ""}, {"logging.directory", ""},
            {"logging.keepDays", "30"}, {"tray.port", "80"}, {"tray.prefLang", ""}};
    for (auto it = defaults.cbegin(); it != defaults.cend(); ++it)
        QTest::newRow(qPrintable("no file: " + it.key())) << QByteArray() << it.key() << it.value();

    const QList<QList<QByteArray>> rows = {
            // Listener numbers that do not parse keep the default; sizes are 64-bit.
            {"listener", "port=8080", "port", "8080"}, {"listener", "port=abc", "port", "0"},
            {"listener", "minThreads=4", "minThreads", "4"}, {"listener", "minThreads=x", "minThreads", "1"},
            {"listener", "maxThreads=2147483648", "maxThreads", "100"},
            {"listener", "cleanupInterval=-1", "cleanupInterval", "-1"},
            {"listener", "readTimeout=60000", "readTimeout", "60000"},
            {"listener", "requestTimeout=1e3", "requestTimeout", "60000"},
            {"listener", "maxRequestSize=2147483648", "maxRequestSize", "2147483648"},
            {"listener", "maxMultiPartSize=18446744073709551616", "maxMultiPartSize", "1000000"},
            {"listener", "sslKeyFile=key.pem", "sslKeyFile", "{dir}/key.pem"},
            {"listener", "sslCertFile=/etc/brio/cert.pem", "sslCertFile", "/etc/brio/cert.pem"},
            {"listener", "host=127.0.0.1\nallowedHosts=brio.lan, panel.example", "allowedHosts",
             "127.0.0.1|brio.lan|panel.example"},
            {"listener", "allowedHosts=\"a.lan,b.lan\"", "allowedHosts", "a.lan|b.lan"},
            {"listener", "allowedHosts=, ,", "allowedHosts", ""},
            // One document root for every part: beside config.ini unless absolute or embedded.
            {"docroot", "path=www", "path", "{dir}/www"}, {"docroot", "path=/srv/www", "path", "/srv/www"},
            {"docroot", "path=:/www", "path", ":/www"}, {"docroot", "path=qrc://www", "path", "qrc://www"},
            {"docroot", "path=", "path", "{dir}/"}, {"docroot", "encoding=ISO-8859-1", "encoding", "ISO-8859-1"},
            {"docroot", "maxAge=x", "maxAge", "60000"}, {"docroot", "cacheSize=0", "cacheSize", "0"},
            {"modbus", "extraPorts=", "extraPorts", ""}, {"modbus", "extraPorts=/tmp/x/b", "extraPorts", "/tmp/x/b"},
            {"modbus", "extraPorts=/tmp/x/b, /dev/pts/7", "extraPorts", "/tmp/x/b|/dev/pts/7"},
            {"modbus", "extraPorts=\"/tmp/x/b,/tmp/y\"", "extraPorts", "/tmp/x/b|/tmp/y"},
            {"modbus", "pauseMs=0", "pauseMs", "0"}, {"modbus", "pauseMs=-1", "pauseMs", "100"},
            {"modbus", "pauseMs=60000", "pauseMs", "10000"},
            {"modbus", "pauseMs=x", "pauseMs", "100"}, {"modbus", "tcpKeepOpen=true", "tcpKeepOpen", "true"},
            {"updates", "updateServer=http://u.example/q", "updateServer", "http://u.example/q"},
            {"updates", "transferTimeout=x", "transferTimeout", "0"},
            {"updates", "maxFileSize=9", "maxFileSize", "9"}, {"updates", "maxFileSize=0", "maxFileSize", "67108864"},
            {"updates", "maxJobSize=-5", "maxJobSize", "268435456"},
            {"updates", "maxJobSize=9223372036854775808", "maxJobSize", "268435456"},
            {"updates", "jobTimeout=1099511627776", "jobTimeout", "2147483647"},
            {"discovery", "broadcastAddress=127.0.0.1", "broadcastAddress", "127.0.0.1"},
            {"discovery", "broadcastAddress=\" 10.0.0.255 \"", "broadcastAddress", "10.0.0.255"},
            {"discovery", "broadcastAddress=nowhere", "broadcastAddress", ""},
            {"discovery", "port=1502", "port", "1502"}, {"discovery", "port=0", "port", "30303"},
            {"discovery", "port=65536", "port", "30303"}, {"discovery", "searchWindow=-1", "searchWindow", "3000"},
            {"email", "server=\" mail.example \"", "server", "mail.example"}, {"email", "curl=", "curl", "curl"},
            {"email", "curl=/opt/curl", "curl", "/opt/curl"}, {"email", "insecureTls=true", "insecureTls", "true"},
            {"email", "caFile=\" ca.pem \"", "caFile", "ca.pem"},
            {"mqtt", "host=broker.lan", "host", "broker.lan"}, {"mqtt", "port=8883", "port", "8883"},
            {"mqtt", "port=65536", "port", "1883"}, {"mqtt", "tls=true", "tls", "true"},
            {"mqtt", "clientId=gw1\ntopicPrefix=plant/gw1", "topicPrefix", "plant/gw1"},
            {"logging", "directory=/var/log/brio", "directory", "/var/log/brio"},
            {"logging", "keepDays=0", "keepDays", "0"}, {"logging", "keepDays=x", "keepDays", "30"},
            // The tray's own reading of the port: absent is 80, anything else a number.
            {"listener", "port=8080", "tray.port", "8080"}, {"listener", "port=abc", "tray.port", "0"},
            {"other", "prefLang=pl", "tray.prefLang", "pl"},
    };
    for (const QList<QByteArray> &row : rows) {
        const QString key = QString::fromLatin1(row.at(2).contains('.') ? row.at(2) : row.at(0) + '.' + row.at(2));
        QTest::newRow(qPrintable(key + ": " + row.at(1))) << "[" + row.at(0) + "]\n" + row.at(1) + '\n' << key
                                                           << QString::fromUtf8(row.at(3));
    }
}
// clang-format on

void TestConfig::readConfig()
{
    QFETCH(QByteArray, ini);
    QFETCH(QString, key);
    QFETCH(QString, value);
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("config.ini"));
    if (!ini.isEmpty())
        QVERIFY(writeFile(file, ini));
    const QMap<QString, QString> read = flatten(::readConfig(file));
    QVERIFY(read.contains(key));
    QCOMPARE(read.value(key), QString(value).replace(QLatin1String("{dir}"), QDir(dir.path()).absolutePath()));
}

QTEST_GUILESS_MAIN(TestConfig)
#include "tst_config.moc"
