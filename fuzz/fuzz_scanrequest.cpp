// startScan parameters: whatever the page sends, an accepted plan holds only
// units, rates and modes its link can carry, none twice, and every step of
// it lies within them.

#include <QSet>

#include <cstdint>

#include "fuzzsupport.h"
#include "scanrequest.h"
#include "serialline.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    silenceQtMessages();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    t_GetArray params;
    for (const QByteArray &pair : QByteArray(reinterpret_cast<const char *>(data), int(size)).split('&')) {
        const int eq = pair.indexOf('=');
        params.insert(pair.left(eq), eq < 0 ? QByteArray() : pair.mid(eq + 1));
    }
    ScanPlan plan;
    if (!scanPlanFromRequest(params, &plan))
        return 0;

    const int highest = plan.link == ScanLink::Tcp ? 255 : 247;
    const int lowest = plan.link == ScanLink::Tcp ? 0 : 1;
    FUZZ_CHECK(!plan.units.isEmpty());
    FUZZ_CHECK(QSet<int>(plan.units.begin(), plan.units.end()).size() == plan.units.size());
    for (int unit : plan.units)
        FUZZ_CHECK(unit >= lowest && unit <= highest);
    FUZZ_CHECK(plan.timeoutMs >= 1 && plan.timeoutMs <= maxScanTimeoutMs);
    FUZZ_CHECK(plan.probeAddress >= 0 && plan.probeAddress <= 0xFFFF);
    if (plan.serial()) {
        FUZZ_CHECK(!plan.port.isEmpty() && !plan.bauds.isEmpty() && !plan.modes.isEmpty());
        FUZZ_CHECK(plan.total() == plan.bauds.size() * plan.modes.size() * plan.units.size());
        FUZZ_CHECK(plan.total() <= 256 * baudRateCount * lineModeCount);
    } else {
        FUZZ_CHECK(!plan.host.isEmpty() && plan.tcpPort >= 1 && plan.tcpPort <= 0xFFFF);
        FUZZ_CHECK(plan.total() == plan.units.size());
    }
    for (int i = 0; i < plan.total(); ++i) {
        const ScanStep step = plan.step(i);
        FUZZ_CHECK(plan.units.contains(step.unit));
        if (plan.serial())
            FUZZ_CHECK(plan.bauds.contains(step.baud) && plan.modes.contains(step.mode));
    }
    return 0;
}
