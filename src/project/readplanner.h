#ifndef READPLANNER_H
#define READPLANNER_H

#include <QVector>

#include "project.h"

// The protocol's limits on one read, and the unused registers (or bits) a
// read may span to take in the next tag rather than cost a request of its own.
constexpr int kMaxReadRegisters = 125;
constexpr int kMaxReadBits = 2000;
constexpr int kMaxReadGap = 8;

struct PlannedTag
{
    int tag = 0; // index into Project::tags
    int offset = 0; // registers (or bits) from the read's first address
};

// One request a poll cycle sends: tags of one device, table, value type and
// poll period, read together.
struct ReadPlan
{
    int device = 0; // index into Project::devices
    TagTable table = TagTable::Holding;
    TagType type = TagType::Int; // Int for coils and discrete inputs
    int pollMs = 0;
    int address = 0;
    int count = 0; // registers or bits
    QVector<PlannedTag> tags; // by address, then by place in the project
};

// As few reads as the limits allow. Groups come in the order their first tag
// appears in the project, reads within a group by address. Tags may overlap
// or share an address; each is placed in exactly one read.
QVector<ReadPlan> planReads(const Project &project);

#endif // READPLANNER_H
