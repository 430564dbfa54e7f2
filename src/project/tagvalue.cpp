#include "tagvalue.h"

#include <QLocale>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>

#include "jsontext.h"

namespace {

QByteArray numberText(double v)
{
    if (!std::isfinite(v))
        return QByteArrayLiteral("null");
    return QByteArray::number(v, 'g', QLocale::FloatingPointShortest);
}

} // namespace

double scaleValue(double raw, const ProjectTag &tag)
{
    if (!isBitTable(tag.table) && tag.type == TagType::Float && tag.valSize == 32 && std::isfinite(raw)) {
        char text[32];
        const auto done = std::to_chars(text, text + sizeof text - 1, float(raw));
        *done.ptr = 0;
        raw = std::strtod(text, nullptr);
    }
    if (tag.scale == 1 && tag.offset == 0)
        return raw;
    const double v = raw * tag.scale + tag.offset;
    return std::isfinite(v) ? QByteArray::number(v, 'g', 15).toDouble() : v;
}

bool unscaleValue(double value, const ProjectTag &tag, double *raw)
{
    double r = (value - tag.offset) / tag.scale;
    if (!std::isfinite(r))
        return false;
    double low = 0;
    double high = 1;
    if (!isBitTable(tag.table)) {
        if (tag.type == TagType::Float) {
            if (tag.valSize == 32 && std::fabs(r) > double(std::numeric_limits<float>::max()))
                return false;
            *raw = r;
            return true;
        }
        const double span = std::ldexp(1.0, tag.valSize); // 2^valSize
        low = tag.type == TagType::Int ? -span / 2 : 0;
        high = tag.type == TagType::Int ? span / 2 - 1 : span - 1;
    }
    r = std::round(r);
    // At 64 bits high rounds up to 2^63 or 2^64 itself, which no integer reaches.
    const bool inside = tag.valSize == 64 && !isBitTable(tag.table) ? (r >= low && r < high) : (r >= low && r <= high);
    if (!inside)
        return false;
    *raw = r == 0 ? 0 : r; // no -0 on the wire
    return true;
}

QByteArray tagQuality(const TagReading &reading, int pollMs, qint64 nowMs)
{
    if (reading.outcome == TagOutcome::None || nowMs - reading.outcomeTime > 3 * qint64(pollMs))
        return QByteArrayLiteral("stale");
    switch (reading.outcome) {
    case TagOutcome::Ok: return QByteArrayLiteral("ok");
    case TagOutcome::Timeout: return QByteArrayLiteral("timeout");
    case TagOutcome::NotConnected: return QByteArrayLiteral("not connected");
    case TagOutcome::Exception:
        return "exception " + QByteArray::number(reading.exceptionCode & 0xFF, 16).rightJustified(2, '0').toUpper();
    case TagOutcome::None: break;
    }
    return QByteArrayLiteral("stale");
}

QByteArray tagValueJson(const TagReading &reading, int pollMs, qint64 nowMs)
{
    QByteArray out("{\"v\":");
    out += reading.hasValue ? numberText(reading.value) : QByteArrayLiteral("null");
    out += ",\"t\":";
    out += reading.hasValue ? QByteArray::number(reading.valueTime) : QByteArrayLiteral("null");
    out += ",\"q\":\"";
    out += tagQuality(reading, pollMs, nowMs);
    out += "\"}";
    return out;
}

QByteArray tagValuesJson(const QString &projectName, const Project &project, const QVector<TagReading> &readings,
                         qint64 nowMs)
{
    QByteArray out("{\"project\":\"");
    out += jsonEscape(projectName.toUtf8());
    out += "\",\"tags\":{";
    for (int i = 0; i < project.tags.size(); ++i) {
        const ProjectTag &tag = project.tags.at(i);
        if (i > 0)
            out += ',';
        out += '"';
        out += jsonEscape(tag.name.toUtf8());
        out += "\":";
        out += tagValueJson(i < readings.size() ? readings.at(i) : TagReading(), tag.pollMs, nowMs);
    }
    out += "}}";
    return out;
}

QByteArray tagLogCell(const TagReading &reading, int pollMs, qint64 nowMs)
{
    if (!reading.hasValue || !std::isfinite(reading.value) || tagQuality(reading, pollMs, nowMs) != "ok")
        return QByteArray();
    return numberText(reading.value);
}
