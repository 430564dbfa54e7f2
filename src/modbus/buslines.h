#ifndef BUSLINES_H
#define BUSLINES_H

#include <QByteArray>
#include <QHash>
#include <QString>
#include <chrono>
#include <memory>
#include <mutex>

#include "fifolock.h"
#include "modbusbackend.h"

// The physical lines of the process: a serial port, or a TCP host and port.
// Every master that talks to a line (the interactive engine, each device of
// a running project) holds the line's FIFO lock for each transfer, so a
// line carries one transfer at a time and a caller waits for at most the
// transfers queued before it. A serial line also has the one library
// context of its port, which every master on it shares: two contexts on one
// port would fight over its settings, and Windows opens a port only once.
class BusLines
{
public:
    struct SerialSettings
    {
        QByteArray device;
        int baud = 0;
        char parity = 'N';
        int dataBits = 8;
        int stopBits = 1;

        bool operator==(const SerialSettings &o) const
        {
            return device == o.device && baud == o.baud && parity == o.parity && dataBits == o.dataBits
                    && stopBits == o.stopBits;
        }
        bool operator!=(const SerialSettings &o) const { return !(*this == o); }
    };

    struct Line
    {
        FifoLock lock;
        // Serial only, and only touched with lock held.
        ModbusHandle context = nullptr;
        SerialSettings settings; // what context was opened with
        int users = 0; // connected handles sharing context
        std::chrono::steady_clock::time_point quietSince; // end of the last frame
    };

    BusLines() = default;
    BusLines(const BusLines &) = delete;
    BusLines &operator=(const BusLines &) = delete;

    // The line of that key, made on first use; it lives while anyone holds it.
    std::shared_ptr<Line> line(const QString &key);

    static QString tcpKey(const QString &host, int port);
    static QString serialKey(const QByteArray &device);

private:
    std::mutex mutex;
    QHash<QString, std::weak_ptr<Line>> lines;
};

#endif // BUSLINES_H
