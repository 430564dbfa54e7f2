#include "serialline.h"

namespace {
const int baudRates[baudRateCount] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400, 256000, 1000000};
const char *const baudRateLabels[baudRateSlots] = {"1200",   "2400",   "4800",   "9600",    "19200", "38400", "57600",
                                                   "115200", "230400", "256000", "1000000", "",      ""};
const char *const modeLabels[lineModeCount] = {"RTU 8N2", "RTU 8E1", "RTU 8O1", "RTU 8N1"};
} // namespace

int baudRateForIndex(int index)
{
    return (index >= 0 && index < baudRateCount) ? baudRates[index] : -1;
}

const char *baudRateLabel(int slot)
{
    return (slot >= 0 && slot < baudRateSlots) ? baudRateLabels[slot] : "";
}

const char *lineModeLabel(int mode)
{
    return (mode >= 0 && mode < lineModeCount) ? modeLabels[mode] : "";
}

LineMode lineModeFor(qint16 mode)
{
    switch (mode) {
    case 0: return {'N', 2};
    case 1: return {'E', 1};
    case 2: return {'O', 1};
    default: return {'N', 1};
    }
}
