#ifndef TRAFFICLOG_H
#define TRAFFICLOG_H

#include <QByteArray>
#include <mutex>
#include <QVector>
#include <vector>

enum class TrafficDirection : quint8 { Tx, Rx, Event };
// Event frames carry a timeout or a CRC error, with whatever bytes arrived.
enum class TrafficResult : quint8 { Ok, Timeout, Crc, Exception };

// What a frame is, besides its bytes.
struct TrafficMeta
{
    TrafficDirection dir = TrafficDirection::Tx;
    quint8 unit = 0;
    quint8 functionCode = 0; // of the request, without an exception's top bit
    TrafficResult result = TrafficResult::Ok;
    quint8 exceptionCode = 0;
    qint64 rttUs = 0; // on rx and event frames, from their request
};

struct TrafficFrame
{
    quint64 seq = 0;
    qint64 t = 0; // ms since the epoch
    TrafficMeta meta;
    QByteArray bytes; // the whole ADU
};

// A run of frames in order, and the sequence number to ask for next.
struct TrafficPage
{
    quint64 next = 1;
    QVector<TrafficFrame> frames;
};

// The last frames the master sent and received, for the traffic monitor.
// Safe from any thread. A capture copies into a slot reserved once, so it
// costs a lock, a clock read and a copy of at most one ADU.
class TrafficLog
{
public:
    static const int defaultCapacity = 10000;
    static const int maxPageFrames = 1000;
    static const int maxFrameBytes = 260; // a Modbus TCP ADU, the longer of the two

    explicit TrafficLog(int capacity = defaultCapacity);

    // Sequence numbers start at 1 and keep counting through clear(). t is
    // the time of the frame (ms since the epoch), now unless given.
    quint64 record(const TrafficMeta &meta, const char *bytes, int length, qint64 t = -1);
    quint64 record(const TrafficMeta &meta, const QByteArray &bytes)
    {
        return record(meta, bytes.constData(), bytes.size());
    }

    // Frames from sequence number since on, oldest first, at most maxFrames.
    // A since older than the ring starts at its oldest frame.
    TrafficPage since(quint64 since, int maxFrames = maxPageFrames) const;
    void clear();

private:
    struct Slot
    {
        quint64 seq;
        qint64 t;
        TrafficMeta meta;
        quint16 length;
        char bytes[maxFrameBytes];
    };

    mutable std::mutex lock;
    const int capacity;
    std::vector<Slot> ring; // reserved by the first capture
    quint64 newest = 0; // the last sequence number given
    quint64 oldest = 1; // the oldest one still held
};

// {"next":N,"frames":[{"seq":1,"t":...,"dir":"tx","unit":1,"fc":3,"hex":"01 03 ...","rttUs":0,"result":"ok"}]}
QByteArray trafficJson(const TrafficPage &page);
// ok, timeout, crc or "exception NN" (two hex digits).
QByteArray trafficResultText(TrafficResult result, quint8 exceptionCode);
// Upper-case hex, one blank between bytes.
QByteArray spacedHex(const QByteArray &bytes);

#endif // TRAFFICLOG_H
