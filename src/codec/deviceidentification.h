#ifndef DEVICEIDENTIFICATION_H
#define DEVICEIDENTIFICATION_H

#include <QByteArray>
#include <QVector>

// Read Device Identification (function 43, MEI type 14) as plain data.

struct DeviceObject
{
    quint8 id = 0;
    QByteArray value;
};

// One reply: conformity level, whether more follows and from which object.
struct DeviceIdPage
{
    quint8 readCode = 0;
    quint8 conformity = 0;
    bool moreFollows = false;
    quint8 nextObjectId = 0;
    QVector<DeviceObject> objects;
};

// The request PDU: 2B 0E, the read device id code (1 basic, 2 regular,
// 3 extended, 4 one object) and the object to start from.
QByteArray deviceIdRequest(quint8 readCode, quint8 objectId);

// Reads a reply PDU, function code first. False for anything but a whole
// 43/14 reply: another function or MEI type, a more-follows byte other than
// 00 or FF, fewer or more objects than it counts, bytes left over.
bool parseDeviceIdReply(const QByteArray &pdu, DeviceIdPage *page);

// VendorName, ProductCode, MajorMinorRevision, VendorUrl, ProductName,
// ModelName, UserApplicationName for objects 0 to 6; "0xNN" for the others.
QByteArray deviceObjectName(quint8 id);

// {"conformity":"0x81","objects":{"VendorName":"...",...}}: keys in the
// order given, an object named twice kept the first time, values read as
// Latin-1 and escaped.
QByteArray deviceIdJson(quint8 conformity, const QVector<DeviceObject> &objects);

#endif // DEVICEIDENTIFICATION_H
