#ifndef DEVICEMASTER_H
#define DEVICEMASTER_H

#include "busbackend.h"
#include "modbusengine.h"
#include "project.h"

class BusLines;
class BusStats;
class TrafficLog;

// Where a project's masters show their frames and counts: the interactive
// master's monitor, so the traffic view and statistics see the whole bus.
// Null: each master keeps its own, unseen.
struct BusMonitor
{
    TrafficLog *traffic = nullptr;
    BusStats *stats = nullptr;
};

// A master of its own for one device of a project, taking its turn on the
// shared lines. Used on one thread at a time.
class DeviceMaster
{
public:
    DeviceMaster(BusLines &lines, const BusMonitor &monitor);
    DeviceMaster(const DeviceMaster &) = delete;
    DeviceMaster &operator=(const DeviceMaster &) = delete;

    // The device's link, as the connect call would open it.
    ModbusOutcome connect(const ProjectDevice &device);
    ModbusEngine &engine() { return master; }

private:
    BusBackend backend; // before the engine, which uses it to the end
    ModbusEngine master;
};

#endif // DEVICEMASTER_H
