// A device reply of any bytes: parsed, listed as JSON, and read back by a
// JSON parser with the very texts the device sent.
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdlib>

#include "devicefinder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray datagram(reinterpret_cast<const char *>(data), int(size));
    const Device device =
            DeviceFinder::datagramToDevice(QStringLiteral("::ffff:10.0.0.1"), DeviceFinder::replyText(datagram));
    if (device.port < 1 || device.modbusid < 1)
        abort();
    const QByteArray json = DeviceFinder::devicesToJson({device, device});
    QJsonParseError error;
    const QJsonArray array = QJsonDocument::fromJson(json, &error).array();
    if (error.error != QJsonParseError::NoError || array.size() != 2)
        abort();
    const QJsonObject object = array.at(0).toObject();
    if (object.value(QStringLiteral("name")).toString() != device.name
        || object.value(QStringLiteral("mac")).toString() != device.mac
        || object.value(QStringLiteral("ip")).toString() != QStringLiteral("10.0.0.1")
        || object.value(QStringLiteral("port")).toString().toInt() != device.port)
        abort();
    return 0;
}
