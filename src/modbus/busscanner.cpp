#include "busscanner.h"

#include "modbusframe.h"


bool BusScanner::start(const ScanPlan &plan)
{
    bool idle = false;
    if (!running.compare_exchange_strong(idle, true))
        return false;
    std::lock_guard<std::mutex> locker(lock);
    stopRequested = false;
    current = plan;
    state = ScanStatus();
    state.running = true;
    state.serial = plan.serial();
    state.total = plan.total();
    return true;
}

void BusScanner::run(const Probe &probe)
{
    if (!running.load())
        return;
    const ScanPlan plan = this->plan();
    const int total = plan.total();
    for (int i = 0; i < total && !stopRequested.load(); ++i) {
        const ScanStep step = plan.step(i);
        const ProbeAnswer answer = probe(step);
        std::lock_guard<std::mutex> locker(lock);
        if (answer.answered)
            state.found.append(ScanFound{step, answer.exceptionCode});
        state.done = i + 1;
    }
}

void BusScanner::finish()
{
    std::lock_guard<std::mutex> locker(lock);
    state.running = false;
    running = false;
}

void BusScanner::stop()
{
    stopRequested = true;
}

ScanStatus BusScanner::status() const
{
    std::lock_guard<std::mutex> locker(lock);
    return state;
}

ScanPlan BusScanner::plan() const
{
    std::lock_guard<std::mutex> locker(lock);
    return current;
}

QByteArray scanStatusJson(const ScanStatus &status)
{
    QByteArray json = QByteArray("{\"running\":") + (status.running ? "true" : "false") + ",\"done\":"
            + QByteArray::number(status.done) + ",\"total\":" + QByteArray::number(status.total) + ",\"found\":[";
    for (int i = 0; i < status.found.size(); ++i) {
        const ScanFound &f = status.found.at(i);
        if (i > 0)
            json += ',';
        json += "{\"unit\":" + QByteArray::number(f.step.unit);
        if (status.serial)
            json += ",\"baud\":" + QByteArray::number(f.step.baud) + ",\"mode\":" + QByteArray::number(f.step.mode);
        json += ",\"reply\":\"";
        json += f.exceptionCode == 0 ? QByteArray("ok") : "exception " + exceptionCodeText(f.exceptionCode);
        json += "\"}";
    }
    json += "]}";
    return json;
}
