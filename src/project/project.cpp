#include "project.h"

#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>
#include <cmath>

#include "jsontext.h"

bool isValidProjectName(const QString &name)
{
    static const QRegularExpression pattern(QStringLiteral("^[A-Za-z0-9_-]{1,64}$"));
    return pattern.match(name).hasMatch();
}

bool isBitTable(TagTable table)
{
    return table == TagTable::Coils || table == TagTable::Discrete;
}

int tagWidth(const ProjectTag &tag)
{
    return isBitTable(tag.table) ? 1 : tag.valSize / 16;
}

QString tableName(TagTable table)
{
    switch (table) {
    case TagTable::Holding: return QStringLiteral("holding");
    case TagTable::Input: return QStringLiteral("input");
    case TagTable::Coils: return QStringLiteral("coils");
    case TagTable::Discrete: return QStringLiteral("discrete");
    }
    return QString();
}

QString typeName(TagType type)
{
    switch (type) {
    case TagType::Int: return QStringLiteral("int");
    case TagType::Uint: return QStringLiteral("uint");
    case TagType::Float: return QStringLiteral("float");
    }
    return QString();
}

QString byteOrderName(TagByteOrder order)
{
    switch (order) {
    case TagByteOrder::ABCD: return QStringLiteral("ABCD");
    case TagByteOrder::CDAB: return QStringLiteral("CDAB");
    case TagByteOrder::BADC: return QStringLiteral("BADC");
    case TagByteOrder::DCBA: return QStringLiteral("DCBA");
    }
    return QString();
}

namespace {

// Reads the members of one device or tag, keeping the first fault.
class Reader
{
public:
    Reader(const QJsonObject &object, const QString &where) : object(object), where(where) {}

    bool failed() const { return !error.isEmpty(); }
    QString error;

    void fail(const QString &what)
    {
        if (error.isEmpty())
            error = QStringLiteral("Project error: %1 in %2").arg(what, where);
    }

    // Members outside the known set are faults; a valid name is quoted back.
    void refuseUnknown(const QSet<QString> &known)
    {
        for (auto it = object.begin(); it != object.end() && !failed(); ++it) {
            if (!known.contains(it.key()))
                fail(isValidProjectName(it.key()) ? QStringLiteral("unknown member %1").arg(it.key())
                                                  : QStringLiteral("unknown member"));
        }
    }

    bool has(const QString &key) const { return object.contains(key); }

    QString text(const QString &key, bool required, const QString &fallback = QString())
    {
        if (failed())
            return fallback;
        const QJsonValue v = object.value(key);
        if (v.isUndefined()) {
            if (required)
                fail(QStringLiteral("missing %1").arg(key));
            return fallback;
        }
        if (!v.isString()) {
            fail(QStringLiteral("%1 must be text").arg(key));
            return fallback;
        }
        return v.toString();
    }

    qint64 integer(const QString &key, qint64 low, qint64 high, bool required, qint64 fallback = 0)
    {
        if (failed())
            return fallback;
        const QJsonValue v = object.value(key);
        if (v.isUndefined()) {
            if (required)
                fail(QStringLiteral("missing %1").arg(key));
            return fallback;
        }
        const double d = v.toDouble(std::nan(""));
        if (!v.isDouble() || !(d >= double(low) && d <= double(high)) || std::floor(d) != d) {
            fail(QStringLiteral("%1 must be an integer from %2 to %3").arg(key).arg(low).arg(high));
            return fallback;
        }
        return qint64(d);
    }

    double number(const QString &key, double fallback)
    {
        if (failed())
            return fallback;
        const QJsonValue v = object.value(key);
        if (v.isUndefined())
            return fallback;
        // QJsonDocument reads overflowing numbers as infinities.
        if (!v.isDouble() || !std::isfinite(v.toDouble())) {
            fail(QStringLiteral("%1 must be a finite number").arg(key));
            return fallback;
        }
        return v.toDouble();
    }

    bool boolean(const QString &key, bool fallback)
    {
        if (failed())
            return fallback;
        const QJsonValue v = object.value(key);
        if (v.isUndefined())
            return fallback;
        if (!v.isBool()) {
            fail(QStringLiteral("%1 must be true or false").arg(key));
            return fallback;
        }
        return v.toBool();
    }

    // One of the given words, returning its index.
    int choice(const QString &key, const QStringList &words, bool required, int fallback)
    {
        const QString value = text(key, required);
        if (failed() || !has(key))
            return fallback;
        const int index = words.indexOf(value);
        if (index < 0)
            fail(QStringLiteral("%1 must be %2").arg(key, words.join(QLatin1String(", "))));
        return index < 0 ? fallback : index;
    }

    QString name()
    {
        const QString value = text(QStringLiteral("name"), true);
        if (!failed() && !isValidProjectName(value))
            fail(QStringLiteral("bad name (1-64 characters A-Z a-z 0-9 _ -)"));
        return value;
    }

private:
    const QJsonObject &object;
    QString where;
};

bool plainText(const QString &text, int maxLength)
{
    if (text.size() > maxLength)
        return false;
    for (const QChar c : text) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7F)
            return false;
    }
    return true;
}

QString readDevice(const QJsonObject &object, int number, ProjectDevice *device)
{
    Reader r(object, QStringLiteral("device %1").arg(number));
    r.refuseUnknown({QStringLiteral("name"), QStringLiteral("connType"), QStringLiteral("ipAddres_tcp"),
                     QStringLiteral("port_tcp"), QStringLiteral("portSelect"), QStringLiteral("baudRate"),
                     QStringLiteral("mode"), QStringLiteral("slaveID"), QStringLiteral("timeout")});
    device->name = r.name();
    const int link = r.choice(QStringLiteral("connType"),
                              {QStringLiteral("tcp"), QStringLiteral("rtuovertcp"), QStringLiteral("serial")}, true, 0);
    device->link = ProjectDevice::Link(link);
    if (device->link == ProjectDevice::Link::Serial) {
        device->portSelect = r.text(QStringLiteral("portSelect"), true);
        // An empty or partial name would select the first port containing it.
        if (!r.failed() && (device->portSelect.trimmed().isEmpty() || !plainText(device->portSelect, 255)))
            r.fail(QStringLiteral("bad portSelect"));
        device->slaveId = int(r.integer(QStringLiteral("slaveID"), 1, 247, true));
        device->baudRate = int(r.integer(QStringLiteral("baudRate"), 0, 10, true));
        device->mode = int(r.integer(QStringLiteral("mode"), 0, 3, true));
        device->timeout = int(r.integer(QStringLiteral("timeout"), 1, 1000, true));
    } else {
        static const QRegularExpression hostPattern(QStringLiteral("^[A-Za-z0-9._:-]{1,253}$"));
        device->host = r.text(QStringLiteral("ipAddres_tcp"), true);
        if (!r.failed() && !hostPattern.match(device->host).hasMatch())
            r.fail(QStringLiteral("bad ipAddres_tcp"));
        device->port = int(r.integer(QStringLiteral("port_tcp"), 1, 65535, true));
        device->slaveId = int(r.integer(QStringLiteral("slaveID"), 0, 255, true));
        device->timeout = int(r.integer(QStringLiteral("timeout"), 1, 60000, true));
    }
    return r.error;
}

QString readTag(const QJsonObject &object, int number, const QHash<QString, int> &devices, ProjectTag *tag)
{
    Reader r(object, QStringLiteral("tag %1").arg(number));
    r.refuseUnknown({QStringLiteral("name"), QStringLiteral("device"), QStringLiteral("table"),
                     QStringLiteral("regAddr"), QStringLiteral("regType"), QStringLiteral("valSize"),
                     QStringLiteral("byteOrder"), QStringLiteral("scale"), QStringLiteral("offset"),
                     QStringLiteral("unit"), QStringLiteral("pollMs"), QStringLiteral("writable")});
    tag->name = r.name();
    tag->device = r.text(QStringLiteral("device"), true);
    if (!r.failed()) {
        const auto found = devices.constFind(tag->device);
        if (found == devices.constEnd())
            r.fail(isValidProjectName(tag->device) ? QStringLiteral("unknown device %1").arg(tag->device)
                                                   : QStringLiteral("unknown device"));
        else
            tag->deviceIndex = found.value();
    }
    tag->table = TagTable(r.choice(
            QStringLiteral("table"),
            {QStringLiteral("holding"), QStringLiteral("input"), QStringLiteral("coils"), QStringLiteral("discrete")},
            true, 0));
    tag->regAddr = int(r.integer(QStringLiteral("regAddr"), 0, 65535, true));
    if (!isBitTable(tag->table)) {
        // ascii and hex are refused here with the rest: they carry no number.
        tag->type =
                TagType(r.choice(QStringLiteral("regType"),
                                 {QStringLiteral("int"), QStringLiteral("uint"), QStringLiteral("float")}, false, 0));
        const int defaultSize = tag->type == TagType::Float ? 32 : 16;
        tag->valSize = int(r.integer(QStringLiteral("valSize"), 0, 1024, false, defaultSize));
        const bool sizeOk = tag->type == TagType::Float
                ? (tag->valSize == 32 || tag->valSize == 64)
                : (tag->valSize == 16 || tag->valSize == 32 || tag->valSize == 64);
        if (!r.failed() && !sizeOk)
            r.fail(tag->type == TagType::Float ? QStringLiteral("valSize must be 32 or 64 for float")
                                               : QStringLiteral("valSize must be 16, 32 or 64"));
        tag->byteOrder = TagByteOrder(r.choice(
                QStringLiteral("byteOrder"),
                {QStringLiteral("ABCD"), QStringLiteral("CDAB"), QStringLiteral("BADC"), QStringLiteral("DCBA")}, false,
                0));
        // The transfer functions apply byte orders only to values spanning
        // several registers; any other order on one register would do nothing.
        if (!r.failed() && tag->valSize == 16 && tag->byteOrder != TagByteOrder::ABCD)
            r.fail(QStringLiteral("byteOrder must be ABCD for a 16-bit value"));
    }
    if (!r.failed() && tag->regAddr + tagWidth(*tag) - 1 > 65535)
        r.fail(QStringLiteral("value reaching past address 65535"));
    tag->scale = r.number(QStringLiteral("scale"), 1);
    if (!r.failed() && tag->scale == 0)
        r.fail(QStringLiteral("scale of 0"));
    tag->offset = r.number(QStringLiteral("offset"), 0);
    tag->unit = r.text(QStringLiteral("unit"), false);
    if (!r.failed() && !plainText(tag->unit, 32))
        r.fail(QStringLiteral("bad unit (at most 32 characters, no control characters)"));
    tag->pollMs = int(r.integer(QStringLiteral("pollMs"), kMinPollMs, kMaxPollMs, true));
    tag->writable = r.boolean(QStringLiteral("writable"), false);
    if (!r.failed() && tag->writable && (tag->table == TagTable::Input || tag->table == TagTable::Discrete))
        r.fail(QStringLiteral("writable tag in the read-only table %1").arg(tableName(tag->table)));
    return r.error;
}

} // namespace

QString validateProject(const QByteArray &json, Project *project)
{
    const QString whole = QStringLiteral("the project");
    const auto fault = [&](const QString &what) { return QStringLiteral("Project error: %1 in %2").arg(what, whole); };
    if (json.size() > kMaxProjectBytes)
        return fault(QStringLiteral("more than %1 bytes").arg(kMaxProjectBytes));
    QJsonParseError parseError;
    const QJsonDocument document = parseForeignJson(json, &parseError);
    if (parseError.error != QJsonParseError::NoError || document.isNull())
        return fault(QStringLiteral("JSON error at byte %1").arg(parseError.offset));
    if (!document.isObject())
        return fault(QStringLiteral("no JSON object"));
    const QJsonObject top = document.object();
    for (auto it = top.begin(); it != top.end(); ++it) {
        if (it.key() != QLatin1String("devices") && it.key() != QLatin1String("tags"))
            return fault(isValidProjectName(it.key()) ? QStringLiteral("unknown member %1").arg(it.key())
                                                      : QStringLiteral("unknown member"));
    }
    if (!top.value(QLatin1String("devices")).isArray())
        return fault(QStringLiteral("devices that are not an array"));
    if (!top.value(QLatin1String("tags")).isArray())
        return fault(QStringLiteral("tags that are not an array"));
    const QJsonArray devices = top.value(QLatin1String("devices")).toArray();
    const QJsonArray tags = top.value(QLatin1String("tags")).toArray();
    if (devices.size() > kMaxProjectDevices)
        return fault(QStringLiteral("more than %1 devices").arg(kMaxProjectDevices));
    if (tags.size() > kMaxProjectTags)
        return fault(QStringLiteral("more than %1 tags").arg(kMaxProjectTags));

    Project result;
    QHash<QString, int> deviceIndex;
    for (int i = 0; i < devices.size(); ++i) {
        const QString where = QStringLiteral("device %1").arg(i + 1);
        if (!devices.at(i).isObject())
            return QStringLiteral("Project error: no JSON object in %1").arg(where);
        ProjectDevice device;
        const QString error = readDevice(devices.at(i).toObject(), i + 1, &device);
        if (!error.isEmpty())
            return error;
        if (deviceIndex.contains(device.name))
            return QStringLiteral("Project error: duplicate device name %1 in %2").arg(device.name, where);
        deviceIndex.insert(device.name, result.devices.size());
        result.devices.append(device);
    }
    QSet<QString> tagNames;
    for (int i = 0; i < tags.size(); ++i) {
        const QString where = QStringLiteral("tag %1").arg(i + 1);
        if (!tags.at(i).isObject())
            return QStringLiteral("Project error: no JSON object in %1").arg(where);
        ProjectTag tag;
        const QString error = readTag(tags.at(i).toObject(), i + 1, deviceIndex, &tag);
        if (!error.isEmpty())
            return error;
        if (tagNames.contains(tag.name))
            return QStringLiteral("Project error: duplicate tag name %1 in %2").arg(tag.name, where);
        tagNames.insert(tag.name);
        result.tags.append(tag);
    }
    if (project)
        *project = result;
    return QString();
}
