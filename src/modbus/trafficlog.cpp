#include "trafficlog.h"

#include "modbusframe.h"

#include <QDateTime>
#include <cstring>

TrafficLog::TrafficLog(int capacity) : capacity(qMax(1, capacity))
{}

quint64 TrafficLog::record(const TrafficMeta &meta, const char *bytes, int length, qint64 t)
{
    if (t < 0)
        t = QDateTime::currentMSecsSinceEpoch();
    const int kept = qBound(0, length, static_cast<int>(maxFrameBytes));
    std::lock_guard<std::mutex> locker(lock);
    if (ring.empty())
        ring.resize(static_cast<size_t>(capacity));
    const quint64 seq = ++newest;
    Slot &slot = ring[static_cast<size_t>((seq - 1) % static_cast<quint64>(capacity))];
    slot.seq = seq;
    slot.t = t;
    slot.meta = meta;
    slot.length = static_cast<quint16>(kept);
    if (kept > 0)
        std::memcpy(slot.bytes, bytes, static_cast<size_t>(kept));
    if (newest - oldest >= static_cast<quint64>(capacity))
        oldest = newest - static_cast<quint64>(capacity) + 1;
    return seq;
}

TrafficPage TrafficLog::since(quint64 since, int maxFrames) const
{
    TrafficPage page;
    std::lock_guard<std::mutex> locker(lock);
    // A since beyond the newest frame (a client from before a restart) starts over at what comes next.
    quint64 first = qMax(since, oldest);
    if (first > newest + 1)
        first = newest + 1;
    const quint64 held = newest + 1 - first;
    const int count = static_cast<int>(qMin<quint64>(held, static_cast<quint64>(qMax(0, maxFrames))));
    page.frames.reserve(count);
    for (int i = 0; i < count; ++i) {
        const quint64 seq = first + static_cast<quint64>(i);
        const Slot &slot = ring[static_cast<size_t>((seq - 1) % static_cast<quint64>(capacity))];
        TrafficFrame frame;
        frame.seq = slot.seq;
        frame.t = slot.t;
        frame.meta = slot.meta;
        frame.bytes = QByteArray(slot.bytes, slot.length);
        page.frames.append(frame);
    }
    page.next = first + static_cast<quint64>(count);
    return page;
}

void TrafficLog::clear()
{
    std::lock_guard<std::mutex> locker(lock);
    oldest = newest + 1;
}

QByteArray spacedHex(const QByteArray &bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    QByteArray text;
    if (bytes.isEmpty())
        return text;
    text.resize(bytes.size() * 3 - 1);
    char *out = text.data();
    for (int i = 0; i < bytes.size(); ++i) {
        const uchar b = static_cast<uchar>(bytes.at(i));
        if (i > 0)
            *out++ = ' ';
        *out++ = digits[b >> 4];
        *out++ = digits[b & 0x0F];
    }
    return text;
}

QByteArray trafficResultText(TrafficResult result, quint8 exceptionCode)
{
    switch (result) {
    case TrafficResult::Ok: return QByteArrayLiteral("ok");
    case TrafficResult::Timeout: return QByteArrayLiteral("timeout");
    case TrafficResult::Crc: return QByteArrayLiteral("crc");
    case TrafficResult::Exception: return QByteArrayLiteral("exception ") + exceptionCodeText(exceptionCode);
    }
    return QByteArray();
}

namespace {

const char *directionText(TrafficDirection dir)
{
    switch (dir) {
    case TrafficDirection::Tx: return "tx";
    case TrafficDirection::Rx: return "rx";
    case TrafficDirection::Event: return "event";
    }
    return "";
}

} // namespace

QByteArray trafficJson(const TrafficPage &page)
{
    QByteArray json;
    json.reserve(64 + page.frames.size() * 160);
    json += "{\"next\":" + QByteArray::number(page.next) + ",\"frames\":[";
    for (int i = 0; i < page.frames.size(); ++i) {
        const TrafficFrame &f = page.frames.at(i);
        if (i > 0)
            json += ',';
        json += "{\"seq\":" + QByteArray::number(f.seq) + ",\"t\":" + QByteArray::number(f.t) + ",\"dir\":\""
                + directionText(f.meta.dir) + "\",\"unit\":" + QByteArray::number(f.meta.unit)
                + ",\"fc\":" + QByteArray::number(f.meta.functionCode) + ",\"hex\":\"" + spacedHex(f.bytes)
                + "\",\"rttUs\":" + QByteArray::number(f.meta.rttUs) + ",\"result\":\""
                + trafficResultText(f.meta.result, f.meta.exceptionCode) + "\"}";
    }
    json += "]}";
    return json;
}
