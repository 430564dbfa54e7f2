#ifndef MQTTBROKER_H
#define MQTTBROKER_H

// Debian's mosquitto broker on a loopback port and mosquitto_sub as the
// independent subscriber, each stopped by its own handle when the test ends.

#include <QDeadlineTimer>
#include <QHostAddress>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <unistd.h>

#include "apptestsupport.h"
#include "childprocess.h"

// A mosquitto broker with a configuration of its own in a private directory.
class Broker
{
public:
    ~Broker() { kill(); }

    bool start(quint16 listenPort, const QByteArray &tlsLines = QByteArray())
    {
        port = listenPort;
        QByteArray conf = "listener " + QByteArray::number(port) + " 127.0.0.1\nallow_anonymous true\n" + tlsLines;
        if (geteuid() == 0)
            conf += "user root\n"; // else it would try to drop to a user this machine may not let it become
        if (!writeFile(dir.filePath(QStringLiteral("mosquitto.conf")), conf))
            return false;
        process.setStandardOutputFile(QProcess::nullDevice());
        process.setStandardErrorFile(QProcess::nullDevice());
        process.start(QStringLiteral("mosquitto"), {"-c", dir.filePath(QStringLiteral("mosquitto.conf"))});
        if (!process.waitForStarted(10000))
            return false;
        const QDeadlineTimer deadline(10000);
        while (!deadline.hasExpired() && process.state() == QProcess::Running) {
            QTcpSocket probe;
            probe.connectToHost(QHostAddress::LocalHost, port);
            if (probe.waitForConnected(200))
                return true;
            QThread::msleep(50);
        }
        return false;
    }
    // The broker goes away at once, as on a crash: no clean closes.
    void kill()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(5000);
        }
    }
    QString path(const QString &name) const { return dir.filePath(name); }

    QTemporaryDir dir;
    QProcess process;
    quint16 port = 0;
};

struct Received
{
    bool retained;
    int qos;
    QString topic;
    QByteArray payload;
};

// mosquitto_sub on <prefix>/# at QoS 1, printing "retain qos topic payload".
class Subscriber
{
public:
    bool start(quint16 port, const QStringList &tlsArgs = QStringList(),
               const QString &prefix = QStringLiteral("brio/test"))
    {
        // Line-buffered, so its lines arrive as they are printed.
        return child.start(QStringLiteral("stdbuf"),
                           QStringList{"-oL", "mosquitto_sub", "-d", "-h", "127.0.0.1", "-p", QString::number(port),
                                       "-q", "1", "-t", prefix + "/#", "-F", "MSG %r %q %t %p"}
                                   + tlsArgs,
                           "Subscribed (mid:");
    }
    QList<Received> received()
    {
        child.output += child.process.readAllStandardOutput();
        QList<Received> out;
        for (const QByteArray &line : child.output.split('\n')) {
            if (!line.startsWith("MSG "))
                continue;
            const QList<QByteArray> parts = line.mid(4).split(' ');
            if (parts.size() >= 3)
                out.append({parts.at(0) == "1", parts.at(1).toInt(), QString::fromUtf8(parts.at(2)),
                            line.mid(4 + parts.at(0).size() + parts.at(1).size() + parts.at(2).size() + 3)});
        }
        return out;
    }
    QList<QByteArray> payloadsOn(const QString &topic)
    {
        QList<QByteArray> out;
        for (const Received &r : received()) {
            if (r.topic == topic)
                out << r.payload;
        }
        return out;
    }
    int subscriptions()
    {
        child.output += child.process.readAllStandardOutput();
        return child.output.count("Subscribed (mid:");
    }

    Child child;
};

#endif // MQTTBROKER_H
