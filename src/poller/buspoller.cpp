#include "buspoller.h"

#include <QDateTime>
#include <chrono>
#include <map>
#include <memory>

#include "buslines.h"
#include "projectrunner.h"
#include "tagcodec.h"

namespace {

using Clock = std::chrono::steady_clock;

// How long a device that could not be reached is left before the next try.
const std::chrono::milliseconds reconnectDelay(1000);

struct DeviceLink
{
    std::unique_ptr<DeviceMaster> master;
    Clock::time_point retryAt;
};

} // namespace

BusPoller::BusPoller(BusLines &lines, const Project &project, const QVector<ReadPlan> &plans, ProjectRunner &runner,
                     const BusMonitor &monitor)
    : lines(lines), project(project), plans(plans), runner(runner), monitor(monitor)
{}

BusPoller::~BusPoller()
{
    requestStop();
    wait();
}

QString BusPoller::busKey(const ProjectDevice &device)
{
    if (device.link == ProjectDevice::Link::Serial)
        return BusLines::serialKey(device.portSelect.toLocal8Bit());
    return BusLines::tcpKey(device.host, device.port);
}

void BusPoller::requestStop()
{
    {
        std::lock_guard<std::mutex> locker(mutex);
        stopping = true;
    }
    wake.notify_all();
}

void BusPoller::run()
{
    // Masters made here live and work on this thread only.
    std::map<int, DeviceLink> devices;
    for (const ReadPlan &plan : plans) {
        if (devices.count(plan.device))
            continue;
        devices[plan.device].master = std::make_unique<DeviceMaster>(lines, monitor);
    }

    QVector<Clock::time_point> due(plans.size(), Clock::now());
    for (;;) {
        int next = 0;
        for (int i = 1; i < plans.size(); ++i) {
            if (due.at(i) < due.at(next))
                next = i;
        }
        {
            std::unique_lock<std::mutex> locker(mutex);
            if (plans.isEmpty())
                wake.wait(locker, [this] { return stopping; });
            else
                wake.wait_until(locker, due.at(next), [this] { return stopping; });
            if (stopping)
                break;
            if (Clock::now() < due.at(next))
                continue;
        }

        const ReadPlan &plan = plans.at(next);
        DeviceLink &link = devices[plan.device];
        ModbusEngine &engine = link.master->engine();
        ModbusWords result{ModbusOutcome(ModbusError::NotConnected)};
        if (!engine.isConnected() && Clock::now() >= link.retryAt) {
            if (!link.master->connect(project.devices.at(plan.device)).ok())
                link.retryAt = Clock::now() + reconnectDelay;
        }
        if (engine.isConnected())
            result = engine.read(planRequest(plan));
        runner.store(plan, result, QDateTime::currentMSecsSinceEpoch());

        // On time when it can be; a read that overran starts over from now
        // rather than firing a burst to catch up.
        due[next] += std::chrono::milliseconds(plan.pollMs);
        const Clock::time_point now = Clock::now();
        if (due.at(next) < now)
            due[next] = now;
    }
    devices.clear();
}
