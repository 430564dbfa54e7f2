#ifndef BUSSTATS_H
#define BUSSTATS_H

#include <QByteArray>
#include <QMap>
#include <mutex>
#include <array>

enum class BusOutcome { Ok, Timeout, CrcError, Exception, Other };

struct BusStatsSnapshot
{
    quint64 requests = 0;
    quint64 ok = 0;
    quint64 timeouts = 0;
    quint64 crcErrors = 0;
    QMap<quint8, quint64> exceptions; // only the codes seen
    // Round trips of the replies that came back (ok and exceptions); 0 without any.
    qint64 rttMin = 0;
    qint64 rttMedian = 0;
    qint64 rttP95 = 0;
    qint64 rttMax = 0;
};

// Counters of every request on the bus and the round-trip times of its
// replies, since start or the last reset. Safe from any thread. The times
// go into a log-scale histogram (1/64 octave, exact below 128 µs), so
// memory stays fixed while min and max stay exact.
class BusStats
{
public:
    // One request and how it ended; rttUs counts for Ok and Exception.
    void record(BusOutcome outcome, qint64 rttUs = 0, quint8 exceptionCode = 0);
    void reset();
    BusStatsSnapshot snapshot() const;

    static const int bucketCount = 128 + 34 * 64;
    static int bucketOf(qint64 rttUs);
    // The middle of a bucket's range.
    static qint64 bucketValue(int bucket);

private:
    qint64 percentile(quint64 rank) const;

    mutable std::mutex lock;
    BusStatsSnapshot counts;
    quint64 samples = 0;
    std::array<quint64, bucketCount> histogram{};
};

// {"requests":N,"ok":N,"timeouts":N,"crcErrors":N,"exceptions":{"02":N},"rttUs":{"min":N,"median":N,"p95":N,"max":N}}
QByteArray statsJson(const BusStatsSnapshot &stats);

#endif // BUSSTATS_H
