#ifndef BUSSCANNER_H
#define BUSSCANNER_H

#include <QByteArray>
#include <mutex>
#include <QVector>
#include <atomic>
#include <functional>
#include "scanplan.h"

// How a probed unit answered. Any well-formed reply, an exception included,
// proves the unit is there.
struct ProbeAnswer
{
    bool answered = false;
    quint8 exceptionCode = 0; // 0: a normal reply
};

struct ScanFound
{
    ScanStep step;
    quint8 exceptionCode = 0;
};

struct ScanStatus
{
    bool running = false;
    bool serial = false; // found units name their baud rate and mode
    int done = 0;
    int total = 0;
    QVector<ScanFound> found;
};

// Runs a scan plan probe by probe through a probe function, so the bus is
// only touched by whoever supplies it. start() and run() may come from
// different threads: start() claims the scanner at once (a second start
// fails until finish()), run() then works through the plan on its own
// thread, and finish() frees the scanner once the bus is given back.
// Status and stop are safe from any thread.
class BusScanner
{
public:
    using Probe = std::function<ProbeAnswer(const ScanStep &step)>;

    // Claims the scanner for the plan and clears the last scan's results.
    // False while a scan runs.
    bool start(const ScanPlan &plan);
    // Probes the plan claimed by start() in its order until done or stopped.
    void run(const Probe &probe);
    // Ends the started scan, run or not.
    void finish();
    // The running scan ends before its next probe.
    void stop();
    bool isRunning() const { return running.load(); }
    ScanStatus status() const;
    ScanPlan plan() const;

private:
    mutable std::mutex lock;
    ScanPlan current;
    ScanStatus state;
    std::atomic<bool> running{false};
    std::atomic<bool> stopRequested{false};
};

// {"running":true,"done":N,"total":N,"found":[{"unit":1,"baud":9600,"mode":0,"reply":"ok"}]}
// with baud and mode on a serial line only; reply is ok or "exception NN".
QByteArray scanStatusJson(const ScanStatus &status);

#endif // BUSSCANNER_H
