// RTU confirmations cut from a stream: whatever a device sends, the length
// read from a frame's first bytes stays put once told, only the bytes given
// are read, a frame built here checks out, and the traffic monitor shows any
// bytes as valid JSON that gives them back.

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <vector>

#include <cstdint>

#include "fuzzsupport.h"
#include "modbusframe.h"
#include "trafficlog.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    silenceQtMessages();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 600)
        return 0;
    const int n = int(size);
    int told = -2;
    for (int have = 0; have <= n; ++have) {
        // A buffer of exactly the bytes given, so a read beyond them is caught.
        std::vector<uchar> prefix(data, data + have);
        const int length = rtuConfirmationLength(prefix.data(), have);
        FUZZ_CHECK(length == -1 || length >= 2);
        if (told != -2) {
            FUZZ_CHECK(length == told);
        } else if (length <= have) {
            told = length; // settled: more bytes must not change it
        }
    }

    const QByteArray bytes(reinterpret_cast<const char *>(data), n);
    if (n >= 2) {
        const quint8 unit = quint8(data[0]);
        const QByteArray pdu = bytes.mid(1, 253);
        const RtuCheck check = checkRtuConfirmation(rtuAdu(unit, pdu), unit, quint8(pdu.at(0)) & 0x7F);
        if (!(pdu.at(0) & 0x80) && pdu.size() >= 2)
            FUZZ_CHECK(check == RtuCheck::Ok);
        if ((pdu.at(0) & 0x80) && pdu.size() == 2)
            FUZZ_CHECK(check == RtuCheck::Exception);
        checkRtuConfirmation(bytes, unit, quint8(data[1]));
    }

    TrafficLog log(2);
    TrafficMeta meta;
    meta.dir = TrafficDirection::Event;
    meta.result = TrafficResult::Exception;
    meta.exceptionCode = n ? data[0] : 0;
    log.record(meta, bytes);
    QJsonParseError error;
    const QJsonObject page = QJsonDocument::fromJson(trafficJson(log.since(0)), &error).object();
    FUZZ_CHECK(error.error == QJsonParseError::NoError);
    const QString hex = page.value("frames").toArray().at(0).toObject().value("hex").toString();
    FUZZ_CHECK(QByteArray::fromHex(hex.toLatin1()) == bytes.left(TrafficLog::maxFrameBytes));
    return 0;
}
