#ifndef TAGCODEC_H
#define TAGCODEC_H

#include <QVector>

#include "modbustypes.h"
#include "project.h"
#include "readplanner.h"

// A tag's register contents to its raw number and back, through the
// transfer functions' codec, and the requests a read plan or a tag write
// puts on the bus.

ModbusTable modbusTable(TagTable table);

// The read of one plan: its table, from its address, count registers or bits.
TransferRequest planRequest(const ReadPlan &plan);

// The raw value of the tag at offset in what the plan's read returned: one
// word per register, or one word (0 or 1) per bit. False when the words
// fall short.
bool decodeTag(const ProjectTag &tag, const QVector<quint16> &words, int offset, double *raw);

// The write of raw (already unscaled and in range) into the tag: its
// registers with function 16, or its coil.
TransferRequest tagWriteRequest(const ProjectTag &tag, double raw);

#endif // TAGCODEC_H
