#include "buspoller.h"

#include <QDateTime>
#include <chrono>
#include <map>
#include <memory>

#include "busbackend.h"
#include "buslines.h"
#include "modbusengine.h"
#include "projectrunner.h"
#include "serialline.h"
#include "tagcodec.h"

namespace {

using Clock = std::chrono::steady_clock;

// How long a device that could not be reached is left before the next try.
const std::chrono::milliseconds reconnectDelay(1000);

struct DeviceLink
{
    std::unique_ptr<BusBackend> backend;
    std::unique_ptr<ModbusEngine> engine;
    Clock::time_point retryAt;
};

ModbusOutcome connectDevice(ModbusEngine &engine, const ProjectDevice &device)
{
    switch (device.link) {
    case ProjectDevice::Link::Tcp: {
        TcpLink link;
        link.host = device.host;
        link.port = device.port;
        link.unit = device.slaveId;
        link.timeout = device.timeout;
        return engine.connectTcp(link);
    }
    case ProjectDevice::Link::Serial: {
        SerialLink link;
        link.port = device.portSelect;
        link.baud = baudRateForIndex(device.baudRate);
        const LineMode mode = lineModeFor(static_cast<qint16>(device.mode));
        link.parity = mode.parity;
        link.stopBits = mode.stopBits;
        link.unit = device.slaveId;
        link.timeout = device.timeout;
        return engine.connectSerial(link);
    }
    case ProjectDevice::Link::RtuOverTcp: break; // no such backend yet
    }
    return ModbusOutcome(ModbusError::NotConnected);
}

} // namespace

BusPoller::BusPoller(BusLines &lines, const Project &project, const QVector<ReadPlan> &plans, ProjectRunner &runner)
    : lines(lines), project(project), plans(plans), runner(runner)
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
        DeviceLink &link = devices[plan.device];
        link.backend = std::make_unique<BusBackend>(lines);
        link.engine = std::make_unique<ModbusEngine>(link.backend.get());
        // The line's lock orders the transfers; no pause is needed on top.
        link.engine->setPause([](unsigned long) {});
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
        ModbusWords result{ModbusOutcome(ModbusError::NotConnected)};
        if (!link.engine->isConnected() && Clock::now() >= link.retryAt) {
            if (!connectDevice(*link.engine, project.devices.at(plan.device)).ok())
                link.retryAt = Clock::now() + reconnectDelay;
        }
        if (link.engine->isConnected())
            result = link.engine->read(planRequest(plan));
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
