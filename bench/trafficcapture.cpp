// Cost of capturing one frame in the traffic ring and the statistics, and of
// building one getTraffic answer; built and run by bench/traffic.sh.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <cstdio>
#include <thread>
#include <vector>

#include "busstats.h"
#include "trafficlog.h"

namespace {

double nsPerFrame(TrafficLog &log, BusStats &stats, const QByteArray &frame, int frames)
{
    TrafficMeta meta;
    meta.dir = TrafficDirection::Rx;
    meta.unit = 1;
    meta.functionCode = 3;
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < frames; ++i) {
        meta.rttUs = i & 1023;
        log.record(meta, frame);
        stats.record(BusOutcome::Ok, meta.rttUs);
    }
    return double(clock.nsecsElapsed()) / frames;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int frames = argc > 1 ? atoi(argv[1]) : 1000000;
    TrafficLog log;
    BusStats stats;
    const QByteArray shortFrame = QByteArray::fromHex("00010000000601030000000a");
    const QByteArray longFrame(255, '\x5a');

    nsPerFrame(log, stats, shortFrame, 20000); // the ring's first capture reserves it
    std::printf("capture, 12-byte frame:       %7.1f ns/frame\n", nsPerFrame(log, stats, shortFrame, frames));
    std::printf("capture, 255-byte frame:      %7.1f ns/frame\n", nsPerFrame(log, stats, longFrame, frames));

    // Two threads capturing at once (the scan thread and a handler).
    std::vector<double> each(2);
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t)
        threads.emplace_back([&, t] { each[size_t(t)] = nsPerFrame(log, stats, shortFrame, frames / 2); });
    for (std::thread &t : threads)
        t.join();
    std::printf("capture, 2 threads contending: %6.1f ns/frame\n", (each[0] + each[1]) / 2);

    QElapsedTimer clock;
    clock.start();
    const int pages = 200;
    qint64 bytes = 0;
    for (int i = 0; i < pages; ++i)
        bytes += trafficJson(log.since(0)).size();
    std::printf("getTraffic page of %d frames: %7.1f us (%lld bytes)\n", TrafficLog::maxPageFrames,
                double(clock.nsecsElapsed()) / pages / 1000, static_cast<long long>(bytes / pages));
    std::printf("getStats:                     %7.1f us\n", [&] {
        QElapsedTimer c;
        c.start();
        for (int i = 0; i < 1000; ++i)
            statsJson(stats.snapshot());
        return double(c.nsecsElapsed()) / 1000 / 1000;
    }());
    return 0;
}
