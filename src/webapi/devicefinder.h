#ifndef DEVICEFINDER_H
#define DEVICEFINDER_H

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QSet>
#include <QString>
#include <QVector>

#include "config.h"
#include "device.h"

class QProcess;
class QUdpSocket;

// Searches for Modbus TCP devices on the local segment: two one-byte
// requests, then the replies that arrive within the search window. Built
// once and used from its own thread only; the router reaches it through
// queued calls, so a flood of replies never stalls a connection.
class DeviceFinder : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(DeviceFinder)
public:
    static const char *const helperProgram;
    // Bounds on what the network can make a search hold.
    static constexpr int maxDatagram = 1024;
    static constexpr int maxDevices = 256;
    static constexpr int datagramsPerPass = 64;

    // helper: absolute path of a program kept running during each search;
    // empty: none.
    explicit DeviceFinder(const DiscoverySettings &settings, const QString &helper = QString(),
                          QObject *parent = nullptr);
    ~DeviceFinder() override;

    // The helper's place beside the executable.
    static QString installedHelper();

    // The devices found so far as JSON (empty when none, or when no search
    // runs); ends the search.
    QByteArray getSearchedDevices();
    QVector<Device> foundDevices() const;

    // The reply text: bytes up to the first NUL, read as Latin-1.
    static QString replyText(const QByteArray &datagram);
    // One reply, line by line, with the fall-backs for whatever is missing.
    static Device datagramToDevice(const QString &ip, const QString &text);
    // The collected list as the browser gets it; nothing at all for no device.
    static QByteArray devicesToJson(const QVector<Device> &devices);

public slots:
    // Ends a running search and starts anew: helper, socket, requests at 500
    // and 800 ms.
    void startSearch();
    void processPendingDatagrams();
    void sendBroadcast();

private:
    void stop();
    void addDevice(const Device &device);
    void endWindow();

    const DiscoverySettings settings;
    const QString helperPath;
    // Both exist while a search runs; the search's timers go with the socket.
    QProcess *helper = nullptr;
    QUdpSocket *socket = nullptr;
    bool windowOver = false;
    bool passQueued = false;
    QVector<Device> devices;
    // ip and mac of every device kept, for the duplicate check.
    QSet<QString> seen;
};

#endif // DEVICEFINDER_H
