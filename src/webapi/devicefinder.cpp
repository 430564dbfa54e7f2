#include "devicefinder.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <QThread>
#include <QTimer>
#include <QUdpSocket>

#include <mutex>

#include "jsontext.h"
#include "platformlauncher.h"

const char *const DeviceFinder::helperProgram = "platforms/RuvUzoveveviRiduzi.exe";

DeviceFinder::Config DeviceFinder::Config::read(const QString &configFile)
{
    Config config;
    config.helper = PlatformLauncher::helperPath(QString::fromLatin1(helperProgram));
    if (configFile.isEmpty())
        return config;
    QSettings settings(configFile, QSettings::IniFormat);
    settings.beginGroup(QStringLiteral("discovery"));
    const QString address =
            settings.value(QStringLiteral("broadcastAddress"), QStringLiteral("255.255.255.255")).toString().trimmed();
    config.broadcastAddress = QHostAddress(address);
    if (config.broadcastAddress.isNull())
        qWarning("DeviceFinder: broadcastAddress %s is no address; nothing is sent", qPrintable(address));
    bool ok = false;
    const int port = settings.value(QStringLiteral("port"), defaultPort).toInt(&ok);
    if (ok && port >= 1 && port <= 65535)
        config.port = quint16(port);
    const int window = settings.value(QStringLiteral("searchWindow"), defaultSearchWindow).toInt(&ok);
    if (ok && window > 0)
        config.searchWindow = window;
    return config;
}

DeviceFinder::DeviceFinder(const Config &config, QObject *parent)
    : QObject(parent), config(config), helper(new QProcess(this)), receiver(new QThread(this)), socket(new QUdpSocket)
{
    // The helper is optional; without it the search works all the same.
    if (!config.helper.isEmpty() && QFileInfo::exists(config.helper))
        helper->start(config.helper, QStringList(), QIODevice::ReadWrite);

    receiver->setObjectName(QStringLiteral("DeviceFinder"));
    // The socket's notifications, and the timers bound to it, run on the
    // receiving thread; it goes when that thread ends.
    socket->moveToThread(receiver);
    connect(receiver, &QThread::finished, socket, &QObject::deleteLater);
    connect(socket, &QUdpSocket::readyRead, socket, [this] { processPendingDatagrams(); });
    connect(receiver, &QThread::started, socket, [this] {
        QTimer::singleShot(500, Qt::PreciseTimer, socket, [this] { sendBroadcast(); });
        QTimer::singleShot(800, Qt::PreciseTimer, socket, [this] { sendBroadcast(); });
        QTimer::singleShot(this->config.searchWindow, Qt::PreciseTimer, socket, [this] { endWindow(); });
    });
    receiver->start();

    // Handler threads come and go with the pool. Should ours end first, the
    // helper is stopped while still in it and the finder moves to the main
    // thread, so that its deletion still happens.
    if (QThread *own = thread())
        connect(own, &QThread::finished, this, &DeviceFinder::threadFinishing, Qt::DirectConnection);
}

DeviceFinder::~DeviceFinder()
{
    stop();
    receiver->quit();
    receiver->wait();
}

DeviceFinder *DeviceFinder::fromConfig(const QString &configFile)
{
    return new DeviceFinder(Config::read(configFile));
}

bool DeviceFinder::accepting() const
{
    std::lock_guard<std::mutex> locker(lock);
    return !collected && !windowOver;
}

void DeviceFinder::sendBroadcast()
{
    // A closed socket would bind itself anew to send.
    if (!accepting() || config.broadcastAddress.isNull())
        return;
    socket->writeDatagram(QByteArray(1, 'D'), config.broadcastAddress, config.port);
}

void DeviceFinder::endWindow()
{
    {
        std::lock_guard<std::mutex> locker(lock);
        windowOver = true;
    }
    socket->close();
}

void DeviceFinder::processPendingDatagrams()
{
    passQueued = false;
    // A bounded number per pass: the thread's other events, the end of the
    // window among them, get their turn during a flood.
    char buffer[maxDatagram + 1];
    for (int i = 0; i < datagramsPerPass && socket->hasPendingDatagrams(); ++i) {
        const qint64 size = socket->pendingDatagramSize();
        QHostAddress sender;
        const qint64 got = socket->readDatagram(buffer, sizeof buffer, &sender);
        if (got < 0)
            break;
        // No device has a name that long; such a datagram is not a reply.
        if (size > maxDatagram || got > maxDatagram || !accepting())
            continue;
        addDevice(datagramToDevice(sender.toString(), replyText(QByteArray::fromRawData(buffer, int(got)))));
    }
    if (socket->hasPendingDatagrams() && !passQueued) {
        passQueued = true;
        QMetaObject::invokeMethod(
                socket, [this] { processPendingDatagrams(); }, Qt::QueuedConnection);
    }
}

QString DeviceFinder::replyText(const QByteArray &datagram)
{
    const int nul = datagram.indexOf('\0');
    return QString::fromLatin1(nul < 0 ? datagram : datagram.left(nul));
}

Device DeviceFinder::datagramToDevice(const QString &ip, const QString &text)
{
    QString name;
    QString mac;
    QString rest1;
    QString rest2;
    QString portText;
    QString idText;

    const int i1 = text.indexOf(QLatin1Char('\n'));
    if (i1 >= 0) {
        name = text.left(i1).trimmed();
        rest1 = text.mid(i1 + 1);
    }
    const int i2 = rest1.indexOf(QLatin1Char('\n'));
    if (i2 >= 0) {
        mac = rest1.left(i2).trimmed();
        rest2 = rest1.mid(i2 + 1);
    }
    const int i3 = rest2.indexOf(QLatin1Char('\n'));
    if (i3 >= 0) {
        // The line is expected to end in CR LF; its last character goes. An
        // empty third line has no port, rather than the modbusid's digits.
        portText = rest2.left(qMax(i3 - 1, 0)).trimmed();
        idText = rest2.mid(i3 + 1).trimmed();
    }

    bool ok = false;
    int port = portText.toInt(&ok, 10);
    if (!ok || port < 1)
        port = 502;
    int modbusid = idText.toInt(&ok, 10);
    if (!ok || modbusid < 1)
        modbusid = 1;
    return Device(name, ip, port, mac, modbusid);
}

QByteArray DeviceFinder::devicesToJson(const QVector<Device> &devices)
{
    if (devices.isEmpty())
        return QByteArray();
    // Names and macs come from the network: escaped, so that no device can
    // end the string early or smuggle markup into the page.
    const auto quoted = [](const QString &value) { return '"' + jsonEscape(value.toUtf8()) + '"'; };
    const QString mapped = QStringLiteral("::ffff:");
    QByteArray json("[");
    for (const Device &device : devices) {
        if (json.size() > 1)
            json += ',';
        const QString ip = device.ip.startsWith(mapped) ? device.ip.mid(mapped.size()) : device.ip;
        json += "{\"name\":" + quoted(device.name) + ",\"ip\":" + quoted(ip) + ",\"port\":\""
                + QByteArray::number(device.port) + "\",\"mac\":" + quoted(device.mac) + ",\"modbusid\":\""
                + QByteArray::number(device.modbusid) + "\"}";
    }
    json += ']';
    return json;
}

QVector<Device> DeviceFinder::foundDevices() const
{
    std::lock_guard<std::mutex> locker(lock);
    return devices;
}

QByteArray DeviceFinder::getSearchedDevices()
{
    QVector<Device> found;
    {
        std::lock_guard<std::mutex> locker(lock);
        collected = true;
        found = devices;
    }
    qDebug() << "DeviceFinder::getSearchedDevices() devices.size():" << found.size();
    // The helper belongs to the finder's thread.
    if (thread() == QThread::currentThread())
        stop();
    else
        QMetaObject::invokeMethod(this, "stop", Qt::QueuedConnection);
    return devicesToJson(found);
}

void DeviceFinder::addDevice(const Device &device)
{
    const QString key = device.ip + QLatin1Char('\n') + device.mac;
    std::lock_guard<std::mutex> locker(lock);
    if (collected || windowOver || devices.size() >= maxDevices || seen.contains(key))
        return;
    seen.insert(key);
    devices.append(device);
}

void DeviceFinder::stop()
{
    {
        std::lock_guard<std::mutex> locker(lock);
        collected = true;
    }
    if (helper->state() != QProcess::NotRunning) {
        helper->kill();
        helper->waitForFinished(3000);
    }
    // The socket is closed on its own thread.
    QUdpSocket *const receiving = socket;
    QMetaObject::invokeMethod(
            socket, [receiving] { receiving->close(); }, Qt::QueuedConnection);
}

void DeviceFinder::threadFinishing()
{
    stop();
    if (QCoreApplication *app = QCoreApplication::instance())
        moveToThread(app->thread());
}
