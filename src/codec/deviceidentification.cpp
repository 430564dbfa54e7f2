#include "deviceidentification.h"

#include <QSet>

#include "jsontext.h"

namespace {

constexpr quint8 kFunction = 0x2B;
constexpr quint8 kMeiType = 0x0E;

QByteArray hexByte(quint8 b)
{
    return "0x" + QByteArray::number(b, 16).rightJustified(2, '0').toUpper();
}

} // namespace

QByteArray deviceIdRequest(quint8 readCode, quint8 objectId)
{
    const char pdu[] = {char(kFunction), char(kMeiType), char(readCode), char(objectId)};
    return QByteArray(pdu, sizeof pdu);
}

bool parseDeviceIdReply(const QByteArray &pdu, DeviceIdPage *page)
{
    if (!page || pdu.size() < 7 || quint8(pdu[0]) != kFunction || quint8(pdu[1]) != kMeiType)
        return false;
    const quint8 more = quint8(pdu[4]);
    if (more != 0x00 && more != 0xFF)
        return false;
    DeviceIdPage out;
    out.readCode = quint8(pdu[2]);
    out.conformity = quint8(pdu[3]);
    out.moreFollows = more == 0xFF;
    out.nextObjectId = quint8(pdu[5]);
    const int count = quint8(pdu[6]);
    int at = 7;
    for (int i = 0; i < count; ++i) {
        if (pdu.size() - at < 2)
            return false;
        const int length = quint8(pdu[at + 1]);
        if (pdu.size() - at - 2 < length)
            return false;
        out.objects.append({quint8(pdu[at]), pdu.mid(at + 2, length)});
        at += 2 + length;
    }
    if (at != pdu.size())
        return false;
    *page = out;
    return true;
}

QByteArray deviceObjectName(quint8 id)
{
    static const char *const names[] = {"VendorName",  "ProductCode", "MajorMinorRevision", "VendorUrl",
                                        "ProductName", "ModelName",   "UserApplicationName"};
    if (id < sizeof names / sizeof names[0])
        return names[id];
    return hexByte(id);
}

QByteArray deviceIdJson(quint8 conformity, const QVector<DeviceObject> &objects)
{
    QByteArray out = "{\"conformity\":\"" + hexByte(conformity) + "\",\"objects\":{";
    QSet<quint8> seen;
    for (const DeviceObject &o : objects) {
        if (seen.contains(o.id))
            continue;
        if (!seen.isEmpty())
            out += ',';
        seen.insert(o.id);
        out += '"' + deviceObjectName(o.id) + "\":\"" + jsonEscapeLatin1(o.value) + '"';
    }
    out += "}}";
    return out;
}
