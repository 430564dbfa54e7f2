#ifndef SERIALLINE_H
#define SERIALLINE_H

#include <QtGlobal>

// The serial line choices of the connection form, by index: what the engine
// opens, what the port report lists and what the firmware updater is told.

// Selectable baud rates, indexes 0 to baudRateCount - 1.
const int baudRateCount = 11;
// The report lists this many slots; the last two are empty and a connect refuses them.
const int baudRateSlots = 13;
// The baud rate of an index, -1 outside the table.
int baudRateForIndex(int index);
// The report's label of a slot (0 to baudRateSlots - 1); empty beyond the table.
const char *baudRateLabel(int slot);

const int lineModeCount = 4;
// "RTU 8N2", "RTU 8E1", "RTU 8O1", "RTU 8N1" for 0 to 3.
const char *lineModeLabel(int mode);

struct LineMode
{
    char parity;
    int stopBits;
};
// Any index outside the table is 8N1, as the last entry.
LineMode lineModeFor(qint16 mode);

#endif // SERIALLINE_H
