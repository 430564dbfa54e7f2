#include "scanplan.h"

#include "serialline.h"

#include <QList>

namespace {

// Digits only: a sign would read as half a range.
bool parseDecimal(const QByteArray &text, int *value)
{
    const QByteArray digits = text.trimmed();
    if (digits.isEmpty() || digits.size() > 9)
        return false;
    for (char c : digits) {
        if (c < '0' || c > '9')
            return false;
    }
    *value = digits.toInt();
    return true;
}

void addOnce(QVector<int> *list, int value)
{
    if (!list->contains(value))
        list->append(value);
}

} // namespace

int ScanPlan::total() const
{
    return serial() ? bauds.size() * modes.size() * units.size() : units.size();
}

ScanStep ScanPlan::step(int index) const
{
    ScanStep s;
    const int perLine = units.size();
    if (perLine == 0)
        return s;
    s.unit = units.at(index % perLine);
    if (serial() && !modes.isEmpty()) {
        const int line = index / perLine;
        s.mode = modes.at(line % modes.size());
        s.baud = bauds.value(line / modes.size());
    }
    return s;
}

bool parseScanNumber(const QByteArray &text, int lowest, int highest, int *value)
{
    int parsed = 0;
    if (!parseDecimal(text, &parsed) || parsed < lowest || parsed > highest)
        return false;
    *value = parsed;
    return true;
}

bool parseScanUnits(const QByteArray &text, int lowest, int highest, QVector<int> *units)
{
    QVector<int> found;
    for (const QByteArray &item : text.split(',')) {
        const int dash = item.indexOf('-');
        int first = 0;
        int last = 0;
        if (dash < 0) {
            if (!parseScanNumber(item, lowest, highest, &first))
                return false;
            last = first;
        } else if (!parseScanNumber(item.left(dash), lowest, highest, &first)
                   || !parseScanNumber(item.mid(dash + 1), lowest, highest, &last) || last < first) {
            return false;
        }
        for (int unit = first; unit <= last; ++unit)
            addOnce(&found, unit);
    }
    *units = found;
    return !found.isEmpty();
}

bool parseScanBauds(const QByteArray &text, QVector<int> *bauds)
{
    QVector<int> found;
    for (const QByteArray &item : text.split(',')) {
        int rate = 0;
        if (!parseDecimal(item, &rate))
            return false;
        bool listed = false;
        for (int i = 0; i < baudRateCount; ++i)
            listed = listed || baudRateForIndex(i) == rate;
        if (!listed)
            return false;
        addOnce(&found, rate);
    }
    *bauds = found;
    return !found.isEmpty();
}

bool parseScanModes(const QByteArray &text, QVector<int> *modes)
{
    QVector<int> found;
    for (const QByteArray &item : text.split(',')) {
        int mode = 0;
        if (!parseScanNumber(item, 0, lineModeCount - 1, &mode))
            return false;
        addOnce(&found, mode);
    }
    *modes = found;
    return !found.isEmpty();
}
