#include "readplanner.h"

#include <QHash>
#include <algorithm>

namespace {

struct GroupKey
{
    int device;
    TagTable table;
    TagType type;
    int pollMs;
    // One number per group, for the hash: device < 2^16, pollMs < 2^31.
    quint64 packed() const
    {
        return quint64(device) << 36 | quint64(table) << 33 | quint64(type) << 31 | quint64(pollMs);
    }
};

GroupKey keyOf(const ProjectTag &tag)
{
    // A bit has no value type, so all bits of one table and period group together.
    return {tag.deviceIndex, tag.table, isBitTable(tag.table) ? TagType::Int : tag.type, tag.pollMs};
}

} // namespace

QVector<ReadPlan> planReads(const Project &project)
{
    QVector<GroupKey> keys;
    QVector<QVector<int>> groups;
    QHash<quint64, int> groupOf;
    for (int i = 0; i < project.tags.size(); ++i) {
        const GroupKey key = keyOf(project.tags.at(i));
        const auto found = groupOf.constFind(key.packed());
        int at = found == groupOf.constEnd() ? -1 : found.value();
        if (at < 0) {
            at = keys.size();
            groupOf.insert(key.packed(), at);
            keys.append(key);
            groups.append(QVector<int>());
        }
        groups[at].append(i);
    }

    QVector<ReadPlan> plans;
    for (int g = 0; g < groups.size(); ++g) {
        QVector<int> members = groups.at(g);
        std::stable_sort(members.begin(), members.end(),
                         [&](int a, int b) { return project.tags.at(a).regAddr < project.tags.at(b).regAddr; });
        const int limit = isBitTable(keys.at(g).table) ? kMaxReadBits : kMaxReadRegisters;
        ReadPlan plan;
        int end = 0; // one past the last address of the current read
        // Starting each read at the lowest tag left and taking tags while
        // they fit gives the fewest reads for intervals sorted by start.
        for (const int i : members) {
            const ProjectTag &tag = project.tags.at(i);
            const int tagEnd = tag.regAddr + tagWidth(tag);
            const bool fits = !plan.tags.isEmpty() && tag.regAddr - end <= kMaxReadGap
                    && std::max(end, tagEnd) - plan.address <= limit;
            if (!fits) {
                if (!plan.tags.isEmpty())
                    plans.append(plan);
                plan = ReadPlan();
                plan.device = keys.at(g).device;
                plan.table = keys.at(g).table;
                plan.type = keys.at(g).type;
                plan.pollMs = keys.at(g).pollMs;
                plan.address = tag.regAddr;
                end = tag.regAddr;
            }
            end = std::max(end, tagEnd);
            plan.count = end - plan.address;
            plan.tags.append({i, tag.regAddr - plan.address});
        }
        if (!plan.tags.isEmpty())
            plans.append(plan);
    }
    return plans;
}
