#include "scanrequest.h"

namespace {

const int highestSerialUnit = 247;
const int highestTcpUnit = 255;

} // namespace

bool scanPlanFromRequest(const t_GetArray &params, ScanPlan *plan)
{
    ScanPlan p;
    const QByteArray connType = params.value("connType");
    if (connType == "serial")
        p.link = ScanLink::Serial;
    else if (connType == "tcp")
        p.link = ScanLink::Tcp;
    else if (connType == "rtuovertcp")
        p.link = ScanLink::RtuOverTcp;
    else
        return false;

    if (params.contains("timeoutMs") && !parseScanNumber(params.value("timeoutMs"), 1, maxScanTimeoutMs, &p.timeoutMs))
        return false;
    if (params.contains("probeAddr") && !parseScanNumber(params.value("probeAddr"), 0, 0xFFFF, &p.probeAddress))
        return false;

    if (p.serial()) {
        // An empty name is contained in every port name and would pick the first real one.
        p.port = QString::fromUtf8(params.value("portSelect")).trimmed();
        if (p.port.isEmpty() || !parseScanBauds(params.value("bauds"), &p.bauds)
            || !parseScanModes(params.value("modes"), &p.modes)
            || !parseScanUnits(params.value("units"), 1, highestSerialUnit, &p.units))
            return false;
    } else {
        // Unit 0 is a broadcast on an RTU line, which nobody answers.
        const bool rtu = p.link == ScanLink::RtuOverTcp;
        p.host = QString::fromUtf8(params.value("ipAddres_tcp")).trimmed();
        if (p.host.isEmpty() || !parseScanNumber(params.value("port_tcp"), 1, 0xFFFF, &p.tcpPort)
            || !parseScanUnits(params.value("units"), rtu ? 1 : 0, rtu ? highestSerialUnit : highestTcpUnit, &p.units))
            return false;
    }
    *plan = p;
    return true;
}
