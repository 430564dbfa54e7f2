#include "devicemaster.h"

#include "serialline.h"

DeviceMaster::DeviceMaster(BusLines &lines, const BusMonitor &monitor) : backend(lines), master(&backend)
{
    // The line's lock orders the transfers; no pause is needed on top.
    master.setPause([](unsigned long) {});
    if (monitor.traffic && monitor.stats)
        backend.setMonitor(monitor.traffic, monitor.stats);
}

ModbusOutcome DeviceMaster::connect(const ProjectDevice &device)
{
    if (device.link == ProjectDevice::Link::Serial) {
        SerialLink link;
        link.port = device.portSelect;
        link.baud = baudRateForIndex(device.baudRate);
        const LineMode mode = lineModeFor(static_cast<qint16>(device.mode));
        link.parity = mode.parity;
        link.stopBits = mode.stopBits;
        link.unit = device.slaveId;
        link.timeout = device.timeout;
        return master.connectSerial(link);
    }
    TcpLink link;
    link.host = device.host;
    link.port = device.port;
    link.unit = device.slaveId;
    link.timeout = device.timeout;
    return device.link == ProjectDevice::Link::RtuOverTcp ? master.connectRtuOverTcp(link) : master.connectTcp(link);
}
