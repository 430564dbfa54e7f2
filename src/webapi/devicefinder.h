#ifndef DEVICEFINDER_H
#define DEVICEFINDER_H

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QVector>

#include <mutex>

#include "device.h"

class QProcess;
class QUdpSocket;

// One search for Modbus TCP devices on the local segment: two one-byte
// requests, then every reply until the result is collected. It lives on the
// thread that started it; collection may come from any thread.
class DeviceFinder : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(DeviceFinder)
public:
    static const char *const helperProgram;
    static constexpr quint16 defaultPort = 30303;

    // Starts the search at once: helper, socket, requests at 500 and 800 ms.
    DeviceFinder(const QHostAddress &broadcastAddress, quint16 port,
                 const QString &helper = QString::fromLatin1(helperProgram), QObject *parent = nullptr);
    ~DeviceFinder() override;

    // A finder aimed as the [discovery] group of config.ini says.
    static DeviceFinder *fromConfig(const QString &configFile);

    // The devices found so far as JSON (empty when none); ends the search.
    QByteArray getSearchedDevices();

    // The reply text: bytes up to the first NUL, read as Latin-1.
    static QString replyText(const QByteArray &datagram);
    // One reply, line by line, with the fall-backs for whatever is missing.
    static Device datagramToDevice(const QString &ip, const QString &text);
    // The collected list as the browser gets it; nothing at all for no device.
    static QByteArray devicesToJson(const QVector<Device> &devices);

    QVector<Device> foundDevices() const;

public slots:
    void processPendingDatagrams();
    void sendBroadcast();

private slots:
    void stop();
    void threadFinishing();

private:
    void addDevice(const Device &device);

    QProcess *helper;
    QUdpSocket *socket;
    const QHostAddress broadcastAddress;
    const quint16 port;
    // devices and collected: collection may run on another thread. A standard
    // mutex, whose ordering ThreadSanitizer sees even under contention.
    mutable std::mutex lock;
    QVector<Device> devices;
    bool collected = false;
};

#endif // DEVICEFINDER_H
