#ifndef TAGVALUE_H
#define TAGVALUE_H

#include <QByteArray>
#include <QString>
#include <QVector>

#include "project.h"

// How the last read of a tag ended.
enum class TagOutcome { None, Ok, Timeout, Exception, NotConnected };

// What the poller knows of one tag.
struct TagReading
{
    bool hasValue = false; // a value was read since the project started
    double value = 0; // the last value read, scaled
    qint64 valueTime = 0; // when it was read, ms since the epoch
    TagOutcome outcome = TagOutcome::None;
    int exceptionCode = 0; // the Modbus exception code of an Exception outcome
    qint64 outcomeTime = 0; // when the last read ended, ms since the epoch
};

// raw * scale + offset. A 32-bit float is first taken as the shortest decimal
// that reads back as the same float, so 231.4 stays 231.4; a scaled result is
// kept to 15 significant digits, so 0.1 * 3 gives 0.3. 64-bit integers come
// in as the nearest double.
double scaleValue(double raw, const ProjectTag &tag);

// The raw value a write of value puts in the tag: (value - offset) / scale,
// rounded to the nearest integer for int, uint and bits. False when it is not
// finite or lies outside the tag's type (a bit is 0 or 1; 64-bit integers
// stay strictly inside +-2^63 and below 2^64, so the wiring may convert
// without overflow).
bool unscaleValue(double value, const ProjectTag &tag, double *raw);

// ok, timeout, exception NN (two upper-case hex digits, as Modbus documents
// its codes), not connected, or stale when no read has ended for three poll
// periods (before the first read too).
QByteArray tagQuality(const TagReading &reading, int pollMs, qint64 nowMs);

// {"v":...,"t":...,"q":"..."}: the last value and its time, null before the
// first value (and v null for a float that is not a number).
QByteArray tagValueJson(const TagReading &reading, int pollMs, qint64 nowMs);

// {"project":"name","tags":{"L1_V":{...},...}} with the tags in project
// order; readings holds one entry per project tag.
QByteArray tagValuesJson(const QString &projectName, const Project &project, const QVector<TagReading> &readings,
                         qint64 nowMs);

// The value as a log cell: the number when the tag's quality is ok, else
// empty, so a CSV reader sees a missing value rather than an old one.
QByteArray tagLogCell(const TagReading &reading, int pollMs, qint64 nowMs);

#endif // TAGVALUE_H
