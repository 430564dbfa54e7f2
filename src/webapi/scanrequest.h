#ifndef SCANREQUEST_H
#define SCANREQUEST_H

#include "scanplan.h"
#include "tgetarray.h"

// The scan a startScan request asks for. connType serial takes portSelect,
// bauds, modes and units 1-247; tcp takes ipAddres_tcp, port_tcp and units
// 0-255; rtuovertcp the TCP parameters with units 1-247. timeoutMs
// (default 100) and probeAddr (default 0) are optional. False for a missing
// or bad parameter.
bool scanPlanFromRequest(const t_GetArray &params, ScanPlan *plan);

#endif // SCANREQUEST_H
