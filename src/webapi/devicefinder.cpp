#include "devicefinder.h"

#include <QDebug>
#include <QFileInfo>
#include <QProcess>
#include <QTimer>
#include <QUdpSocket>

#include "jsontext.h"
#include "platformlauncher.h"

const char *const DeviceFinder::helperProgram = "platforms/RuvUzoveveviRiduzi.exe";

DeviceFinder::DeviceFinder(const DiscoverySettings &settings, const QString &helper, QObject *parent)
    : QObject(parent), settings(settings), helperPath(helper)
{}

DeviceFinder::~DeviceFinder()
{
    stop();
}

QString DeviceFinder::installedHelper()
{
    return PlatformLauncher::helperPath(QString::fromLatin1(helperProgram));
}

void DeviceFinder::startSearch()
{
    stop();
    devices.clear();
    seen.clear();
    windowOver = false;
    // The helper is optional; without it the search works all the same.
    helper = new QProcess(this);
    if (!helperPath.isEmpty() && QFileInfo::exists(helperPath))
        helper->start(helperPath, QStringList(), QIODevice::ReadWrite);

    socket = new QUdpSocket(this);
    connect(socket, &QUdpSocket::readyRead, this, &DeviceFinder::processPendingDatagrams);
    QTimer::singleShot(500, Qt::PreciseTimer, socket, [this] { sendBroadcast(); });
    QTimer::singleShot(800, Qt::PreciseTimer, socket, [this] { sendBroadcast(); });
    QTimer::singleShot(settings.searchWindow, Qt::PreciseTimer, socket, [this] { endWindow(); });
}

void DeviceFinder::stop()
{
    if (helper && helper->state() != QProcess::NotRunning) {
        helper->kill();
        helper->waitForFinished(3000);
    }
    delete helper;
    helper = nullptr;
    delete socket;
    socket = nullptr;
    passQueued = false;
}

void DeviceFinder::sendBroadcast()
{
    // A closed socket would bind itself anew to send.
    if (!socket || windowOver || settings.broadcastAddress.isNull())
        return;
    socket->writeDatagram(QByteArray(1, 'D'), settings.broadcastAddress, settings.port);
}

void DeviceFinder::endWindow()
{
    windowOver = true;
    socket->close();
}

void DeviceFinder::processPendingDatagrams()
{
    passQueued = false;
    if (!socket)
        return;
    // A bounded number per pass: other events, the end of the window and
    // the collection among them, get their turn during a flood.
    char buffer[maxDatagram + 1];
    for (int i = 0; i < datagramsPerPass && socket->hasPendingDatagrams(); ++i) {
        const qint64 size = socket->pendingDatagramSize();
        QHostAddress sender;
        const qint64 got = socket->readDatagram(buffer, sizeof buffer, &sender);
        if (got < 0)
            break;
        // No device has a name that long; such a datagram is not a reply.
        if (size > maxDatagram || got > maxDatagram || windowOver)
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
    return devices;
}

QByteArray DeviceFinder::getSearchedDevices()
{
    if (!socket)
        return QByteArray();
    qDebug() << "DeviceFinder::getSearchedDevices() devices.size():" << devices.size();
    stop();
    const QByteArray json = devicesToJson(devices);
    devices.clear();
    seen.clear();
    return json;
}

void DeviceFinder::addDevice(const Device &device)
{
    const QString key = device.ip + QLatin1Char('\n') + device.mac;
    if (devices.size() >= maxDevices || seen.contains(key))
        return;
    seen.insert(key);
    devices.append(device);
}
