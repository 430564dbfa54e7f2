#ifndef MODBUSFRAME_H
#define MODBUSFRAME_H

#include <QByteArray>
#include <QtGlobal>

// Whole frames (ADUs) around a PDU: RTU (unit, PDU, CRC) as a serial line or
// an RTU-over-TCP stream carries them, and the MBAP header of Modbus TCP.

// CRC-16/Modbus (polynomial 0xA001 reflected, start 0xFFFF); sent low byte first.
quint16 modbusCrc16(const uchar *data, int length);

// unit, PDU, CRC low, CRC high.
QByteArray rtuAdu(quint8 unit, const QByteArray &pdu);

// How long the confirmation that starts with these bytes is, so a stream can
// be cut into frames. Returns the whole length once the bytes tell it;
// otherwise a length above available to wait for before asking again (a
// device identification reply tells its length object by object). -1 when
// the function code has no reply shape known here.
int rtuConfirmationLength(const uchar *adu, int available);

enum class RtuCheck {
    Ok,
    Exception, // a well-formed exception reply to the request
    Malformed, // shorter than any reply, or an exception of another length
    BadCrc,
    OtherUnit,
    OtherFunction,
};

// Checks a whole confirmation against the request's unit and function code.
// The CRC comes first: a corrupt unit byte is a CRC error, not another unit.
RtuCheck checkRtuConfirmation(const QByteArray &adu, quint8 unit, quint8 functionCode);

// The exception code of an exception reply's PDU (function code with its
// top bit set, then the code); 0 for any other PDU.
quint8 exceptionCodeOf(const uchar *pdu, int length);

// An exception code as replies show it: two upper-case hex digits ("02", "0B").
QByteArray exceptionCodeText(quint8 code);

// Transaction id, protocol 0, the length of what follows, unit.
QByteArray mbapHeader(quint16 transaction, quint8 unit, int pduLength);
const int mbapHeaderLength = 7;
// The same seven bytes into out.
void writeMbapHeader(uchar *out, quint16 transaction, quint8 unit, int pduLength);

const int rtuMaxAduLength = 256;
const int tcpMaxAduLength = 260;

#endif // MODBUSFRAME_H
