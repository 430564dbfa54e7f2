#include "modbusframe.h"

namespace {

// CRC bytes after an RTU PDU.
const int crcLength = 2;

// Device identification replies: unit, 0x2B, MEI type 0x0E, id code,
// conformity, more follows, next object, object count, then the objects.
const int deviceIdHeader = 8;

int deviceIdLength(const uchar *adu, int available)
{
    if (available < 3)
        return 3;
    if (adu[2] != 0x0E)
        return -1;
    if (available < deviceIdHeader)
        return deviceIdHeader;
    int end = deviceIdHeader;
    for (int object = 0; object < adu[7]; ++object) {
        if (available < end + 2)
            return end + 2;
        end += 2 + adu[end + 1];
    }
    return end + crcLength;
}

} // namespace

quint16 modbusCrc16(const uchar *data, int length)
{
    quint16 crc = 0xFFFF;
    for (int i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? static_cast<quint16>((crc >> 1) ^ 0xA001) : static_cast<quint16>(crc >> 1);
    }
    return crc;
}

QByteArray rtuAdu(quint8 unit, const QByteArray &pdu)
{
    QByteArray adu;
    adu.reserve(pdu.size() + 3);
    adu += static_cast<char>(unit);
    adu += pdu;
    const quint16 crc = modbusCrc16(reinterpret_cast<const uchar *>(adu.constData()), adu.size());
    adu += static_cast<char>(crc & 0xFF);
    adu += static_cast<char>(crc >> 8);
    return adu;
}

int rtuConfirmationLength(const uchar *adu, int available)
{
    if (available < 2)
        return 2;
    const uchar fc = adu[1];
    if (fc & 0x80)
        return 3 + crcLength;
    switch (fc) {
    case 0x01:
    case 0x02:
    case 0x03:
    case 0x04:
    case 0x0C:
    case 0x11:
    case 0x14:
    case 0x15:
    case 0x17:
        // A byte count, then that many bytes.
        return available < 3 ? 3 : 3 + adu[2] + crcLength;
    case 0x05:
    case 0x06:
    case 0x08:
    case 0x0B:
    case 0x0F:
    case 0x10: return 2 + 4 + crcLength;
    case 0x07: return 2 + 1 + crcLength;
    case 0x16: return 2 + 6 + crcLength;
    case 0x18: return available < 4 ? 4 : 4 + ((adu[2] << 8) | adu[3]) + crcLength;
    case 0x2B: return deviceIdLength(adu, available);
    default: return -1;
    }
}

RtuCheck checkRtuConfirmation(const QByteArray &adu, quint8 unit, quint8 functionCode)
{
    // The shortest frame is an exception: unit, function, code, CRC.
    if (adu.size() < 3 + crcLength)
        return RtuCheck::Malformed;
    const uchar *bytes = reinterpret_cast<const uchar *>(adu.constData());
    const int body = adu.size() - crcLength;
    const quint16 crc = modbusCrc16(bytes, body);
    if (bytes[body] != (crc & 0xFF) || bytes[body + 1] != (crc >> 8))
        return RtuCheck::BadCrc;
    if (bytes[0] != unit)
        return RtuCheck::OtherUnit;
    if (bytes[1] == (functionCode | 0x80))
        return body == 3 ? RtuCheck::Exception : RtuCheck::Malformed;
    if (bytes[1] != functionCode)
        return RtuCheck::OtherFunction;
    return RtuCheck::Ok;
}

quint8 exceptionCodeOf(const uchar *pdu, int length)
{
    return (length >= 2 && (pdu[0] & 0x80)) ? pdu[1] : 0;
}

QByteArray exceptionCodeText(quint8 code)
{
    static const char digits[] = "0123456789ABCDEF";
    const char text[2] = {digits[code >> 4], digits[code & 0x0F]};
    return QByteArray(text, 2);
}

void writeMbapHeader(uchar *out, quint16 transaction, quint8 unit, int pduLength)
{
    const int following = pduLength + 1;
    out[0] = static_cast<uchar>(transaction >> 8);
    out[1] = static_cast<uchar>(transaction & 0xFF);
    out[2] = 0;
    out[3] = 0;
    out[4] = static_cast<uchar>((following >> 8) & 0xFF);
    out[5] = static_cast<uchar>(following & 0xFF);
    out[6] = unit;
}

QByteArray mbapHeader(quint16 transaction, quint8 unit, int pduLength)
{
    QByteArray header(mbapHeaderLength, Qt::Uninitialized);
    writeMbapHeader(reinterpret_cast<uchar *>(header.data()), transaction, unit, pduLength);
    return header;
}
