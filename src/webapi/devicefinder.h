#ifndef DEVICEFINDER_H
#define DEVICEFINDER_H

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QSet>
#include <QString>
#include <QVector>

#include <mutex>

#include "device.h"

class QProcess;
class QThread;
class QUdpSocket;

// One search for Modbus TCP devices on the local segment: two one-byte
// requests, then the replies that arrive within the search window. The
// finder lives on the thread that started it; its socket is read on a
// thread of its own, so that a flood of replies never stalls the connection
// that asked. Collection may come from any thread.
class DeviceFinder : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(DeviceFinder)
public:
    static const char *const helperProgram;
    static constexpr quint16 defaultPort = 30303;
    static constexpr int defaultSearchWindow = 3000;
    // Bounds on what the network can make a search hold.
    static constexpr int maxDatagram = 1024;
    static constexpr int maxDevices = 256;
    static constexpr int datagramsPerPass = 64;

    // Where and how long to search, as the [discovery] group of config.ini
    // says; read in one place.
    struct Config
    {
        QHostAddress broadcastAddress{QHostAddress::Broadcast};
        quint16 port = defaultPort;
        // Replies are taken for this long after the start (ms).
        int searchWindow = defaultSearchWindow;
        // Absolute path of the helper to run during the search; empty: none.
        QString helper;

        static Config read(const QString &configFile);
    };

    // Starts the search at once: helper, socket, requests at 500 and 800 ms.
    explicit DeviceFinder(const Config &config, QObject *parent = nullptr);
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
    // The thread that reads the replies.
    QThread *receiverThread() const { return receiver; }

public slots:
    // Both run on the receiving thread.
    void processPendingDatagrams();
    void sendBroadcast();

private slots:
    void stop();
    void threadFinishing();

private:
    void addDevice(const Device &device);
    bool accepting() const;
    void endWindow();

    const Config config;
    QProcess *helper;
    QThread *receiver;
    // Lives on the receiving thread and is deleted there when it ends.
    QUdpSocket *socket;
    bool passQueued = false; // receiving thread only
    // The state below is shared with collection on another thread. A
    // standard mutex, whose ordering ThreadSanitizer sees even under
    // contention.
    mutable std::mutex lock;
    QVector<Device> devices;
    // ip and mac of every device kept, for the duplicate check.
    QSet<QString> seen;
    bool collected = false;
    bool windowOver = false;
};

#endif // DEVICEFINDER_H
