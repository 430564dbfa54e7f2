#include "busstats.h"

#include "modbusframe.h"


namespace {

// Exact buckets below this; 64 buckets per octave above.
const qint64 exactBelow = 128;
const int subBuckets = 64;
const int subBits = 6;
const int firstOctave = 7; // 2^7 = exactBelow

int highestBit(quint64 value)
{
    int bit = -1;
    while (value) {
        value >>= 1;
        ++bit;
    }
    return bit;
}

} // namespace

int BusStats::bucketOf(qint64 rttUs)
{
    if (rttUs < exactBelow)
        return rttUs < 0 ? 0 : static_cast<int>(rttUs);
    const int octave = highestBit(static_cast<quint64>(rttUs));
    const int sub = static_cast<int>((rttUs >> (octave - subBits)) & (subBuckets - 1));
    return qMin(bucketCount - 1, static_cast<int>(exactBelow) + (octave - firstOctave) * subBuckets + sub);
}

qint64 BusStats::bucketValue(int bucket)
{
    if (bucket < exactBelow)
        return bucket;
    const int octave = firstOctave + (bucket - static_cast<int>(exactBelow)) / subBuckets;
    const qint64 sub = (bucket - exactBelow) % subBuckets;
    const qint64 width = qint64(1) << (octave - subBits);
    const qint64 lower = (subBuckets + sub) * width;
    return lower + (width - 1) / 2;
}

void BusStats::record(BusOutcome outcome, qint64 rttUs, quint8 exceptionCode)
{
    std::lock_guard<std::mutex> locker(lock);
    ++counts.requests;
    switch (outcome) {
    case BusOutcome::Ok: ++counts.ok; break;
    case BusOutcome::Timeout: ++counts.timeouts; return;
    case BusOutcome::CrcError: ++counts.crcErrors; return;
    case BusOutcome::Exception: ++counts.exceptions[exceptionCode]; break;
    case BusOutcome::Other: return;
    }
    rttUs = qMax<qint64>(0, rttUs);
    if (samples == 0 || rttUs < counts.rttMin)
        counts.rttMin = rttUs;
    if (samples == 0 || rttUs > counts.rttMax)
        counts.rttMax = rttUs;
    ++samples;
    ++histogram[static_cast<size_t>(bucketOf(rttUs))];
}

void BusStats::reset()
{
    std::lock_guard<std::mutex> locker(lock);
    counts = BusStatsSnapshot();
    samples = 0;
    histogram.fill(0);
}

qint64 BusStats::percentile(quint64 rank) const
{
    quint64 seen = 0;
    for (int b = 0; b < bucketCount; ++b) {
        seen += histogram[static_cast<size_t>(b)];
        if (seen >= rank)
            return qBound(counts.rttMin, bucketValue(b), counts.rttMax);
    }
    return counts.rttMax;
}

BusStatsSnapshot BusStats::snapshot() const
{
    std::lock_guard<std::mutex> locker(lock);
    BusStatsSnapshot result = counts;
    if (samples > 0) {
        // Nearest rank: the lower median, and the smallest value at or above 95 % of the replies.
        result.rttMedian = percentile((samples + 1) / 2);
        result.rttP95 = percentile((samples * 95 + 99) / 100);
    }
    return result;
}

QByteArray statsJson(const BusStatsSnapshot &stats)
{
    QByteArray json = "{\"requests\":" + QByteArray::number(stats.requests) + ",\"ok\":" + QByteArray::number(stats.ok)
            + ",\"timeouts\":" + QByteArray::number(stats.timeouts)
            + ",\"crcErrors\":" + QByteArray::number(stats.crcErrors) + ",\"exceptions\":{";
    bool first = true;
    for (auto it = stats.exceptions.cbegin(); it != stats.exceptions.cend(); ++it) {
        if (!first)
            json += ',';
        first = false;
        json += '"' + exceptionCodeText(it.key()) + "\":" + QByteArray::number(it.value());
    }
    json += "},\"rttUs\":{\"min\":" + QByteArray::number(stats.rttMin)
            + ",\"median\":" + QByteArray::number(stats.rttMedian) + ",\"p95\":" + QByteArray::number(stats.rttP95)
            + ",\"max\":" + QByteArray::number(stats.rttMax) + "}}";
    return json;
}
