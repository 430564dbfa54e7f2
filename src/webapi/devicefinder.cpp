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

const char *const DeviceFinder::helperProgram = "platforms/RuvUzoveveviRiduzi.exe";

DeviceFinder::DeviceFinder(const QHostAddress &broadcastAddress, quint16 port, const QString &helperPath,
                           QObject *parent)
    : QObject(parent), helper(new QProcess(this)), socket(nullptr), broadcastAddress(broadcastAddress), port(port)
{
    // The helper is optional; without it the search works all the same.
    if (!helperPath.isEmpty() && QFileInfo::exists(helperPath))
        helper->start(helperPath, QStringList(), QIODevice::ReadWrite);

    socket = new QUdpSocket(this);
    connect(socket, &QUdpSocket::readyRead, this, &DeviceFinder::processPendingDatagrams);

    // Children rather than free single-shots: they go wherever the finder goes.
    for (const int delay : {500, 800}) {
        auto *timer = new QTimer(this);
        timer->setSingleShot(true);
        connect(timer, &QTimer::timeout, this, &DeviceFinder::sendBroadcast);
        timer->start(delay);
    }

    // Handler threads come and go with the pool. Should ours end first, the
    // socket is closed while still in it and the finder moves to the main
    // thread, so that its deletion still happens.
    if (QThread *own = thread())
        connect(own, &QThread::finished, this, &DeviceFinder::threadFinishing, Qt::DirectConnection);
}

DeviceFinder::~DeviceFinder()
{
    stop();
}

DeviceFinder *DeviceFinder::fromConfig(const QString &configFile)
{
    QString address = QStringLiteral("255.255.255.255");
    int port = defaultPort;
    if (!configFile.isEmpty()) {
        QSettings settings(configFile, QSettings::IniFormat);
        settings.beginGroup(QStringLiteral("discovery"));
        address = settings.value(QStringLiteral("broadcastAddress"), address).toString().trimmed();
        bool ok = false;
        port = settings.value(QStringLiteral("port"), port).toInt(&ok);
        if (!ok || port < 1 || port > 65535)
            port = defaultPort;
    }
    const QHostAddress target(address);
    if (target.isNull())
        qWarning("DeviceFinder: broadcastAddress %s is no address; nothing is sent", qPrintable(address));
    return new DeviceFinder(target, quint16(port));
}

void DeviceFinder::sendBroadcast()
{
    {
        std::lock_guard<std::mutex> locker(lock);
        if (collected)
            return;
    }
    if (broadcastAddress.isNull())
        return;
    socket->writeDatagram(QByteArray(1, 'D'), broadcastAddress, port);
}

void DeviceFinder::processPendingDatagrams()
{
    while (socket->hasPendingDatagrams()) {
        const qint64 size = socket->pendingDatagramSize();
        QByteArray datagram(int(qMax<qint64>(size, 0)), '\0');
        QHostAddress sender;
        const qint64 got = socket->readDatagram(datagram.data(), datagram.size(), &sender);
        if (got < 0)
            break;
        datagram.truncate(int(got));
        addDevice(datagramToDevice(sender.toString(), replyText(datagram)));
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
    // Socket and helper belong to the finder's thread.
    if (thread() == QThread::currentThread())
        stop();
    else
        QMetaObject::invokeMethod(this, "stop", Qt::QueuedConnection);
    return devicesToJson(found);
}

void DeviceFinder::addDevice(const Device &device)
{
    std::lock_guard<std::mutex> locker(lock);
    if (collected)
        return;
    for (const Device &known : qAsConst(devices)) {
        if (known.ip == device.ip && known.mac == device.mac)
            return;
    }
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
    socket->close();
    for (QTimer *timer : findChildren<QTimer *>(QString(), Qt::FindDirectChildrenOnly))
        timer->stop();
}

void DeviceFinder::threadFinishing()
{
    stop();
    if (QCoreApplication *app = QCoreApplication::instance())
        moveToThread(app->thread());
}
