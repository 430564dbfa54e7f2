// Device identification replies: whatever a slave sends, a reply read as
// whole must write back to the same bytes, and its JSON must parse with one
// member per distinct object.

#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

#include <cstdint>

#include "deviceidentification.h"
#include "fuzzsupport.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    silenceQtMessages();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray pdu(reinterpret_cast<const char *>(data), int(size));
    DeviceIdPage page;
    if (!parseDeviceIdReply(pdu, &page))
        return 0;

    QByteArray again = deviceIdRequest(page.readCode, 0).left(3);
    again += char(page.conformity);
    again += char(page.moreFollows ? 0xFF : 0x00);
    again += char(page.nextObjectId);
    again += char(page.objects.size());
    QSet<quint8> ids;
    for (const DeviceObject &o : page.objects) {
        again += char(o.id);
        again += char(o.value.size());
        again += o.value;
        ids.insert(o.id);
    }
    FUZZ_CHECK(again == pdu);

    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(deviceIdJson(page.conformity, page.objects), &error);
    FUZZ_CHECK(error.error == QJsonParseError::NoError && doc.isObject());
    FUZZ_CHECK(doc.object().value(QStringLiteral("objects")).toObject().size() == ids.size());
    return 0;
}
