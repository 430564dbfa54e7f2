#ifndef MODBUSTYPES_H
#define MODBUSTYPES_H

#include <QByteArray>
#include <QString>
#include <QVector>
#include "deviceidentification.h"

// The values the master is spoken to in: link descriptions, transfer
// requests, and results that are data or a typed error, never reply text.

enum class ModbusTable { Coils, DiscreteInputs, InputRegisters, HoldingRegisters };

enum class ModbusError {
    None,
    // The request, refused before the bus.
    InvalidRequest,
    UnitRefused, // a unit address the link cannot carry
    TooManyValues,
    RegisterSize,
    ValueSize,
    ValueLayout, // the value size does not fit the register size or type
    FloatPrecision,
    ValueList, // the values to write do not read as a list of the right length
    // The link.
    NotConnected,
    PortNotFound,
    PrinterPort,
    BaudRate,
    SerialOpenFailed,
    TcpConnectFailed,
    HostUnreachable, // the TCP probe before a transfer failed
    // The transfer, once the retry rule has given up.
    NoReply,
    ProtocolFault, // libraryErrno says which
    CountMismatch, // registers came back in another number than asked
    ReportLength, // a slave-id report empty or longer than a reply can be
    ScanInProgress, // a bus scan holds the bus
};

// An RTU line. The port is a device name or a part of one.
struct SerialLink
{
    QString port;
    int baud = 0; // 0 or less is refused
    char parity = 'N';
    int stopBits = 1;
    int unit = 0;
    int timeout = 0; // reply time-out in steps of 10 ms
};

// Modbus TCP. Each transfer probes the host and connects afresh, unless the
// connection is kept open (ModbusSettings).
struct TcpLink
{
    QString host;
    int port = 0;
    int unit = 0;
    int timeout = 0; // ms the probe waits for the connection
};

// A read or write of count registers (or bits) from address. A 32-bit
// register is two 16-bit words, low half first; a bit is one word, 0 or 1.
// Longer than one request carries, it goes out in several, each holding
// whole values.
struct TransferRequest
{
    ModbusTable table = ModbusTable::HoldingRegisters;
    int address = 0;
    int count = 0;
    int wordSize = 16;
    int valueSpan = 1; // registers one value takes
    bool singleWrites = false; // holding registers one at a time (function 6)
    QVector<quint16> words; // what a write sends: wordCount() words

    bool bits() const { return table == ModbusTable::Coils || table == ModbusTable::DiscreteInputs; }
    int wordCount() const { return wordSize == 32 && !bits() ? 2 * count : count; }
};

struct ModbusOutcome
{
    ModbusOutcome(ModbusError error = ModbusError::None, int libraryErrno = 0)
        : error(error), libraryErrno(libraryErrno)
    {}

    ModbusError error = ModbusError::None;
    int libraryErrno = 0; // with ProtocolFault: the library's error number

    bool ok() const { return error == ModbusError::None; }
};

// A read's words, laid out as the request describes them.
struct ModbusWords : ModbusOutcome
{
    ModbusWords(const ModbusOutcome &outcome = {}, const QVector<quint16> &words = {})
        : ModbusOutcome(outcome), words(words)
    {}

    QVector<quint16> words;
};

struct ModbusBytes : ModbusOutcome
{
    ModbusBytes(const ModbusOutcome &outcome = {}, const QByteArray &bytes = {}) : ModbusOutcome(outcome), bytes(bytes)
    {}

    QByteArray bytes;
};

// Device identification: the conformity level and the objects in the order read.
struct ModbusDeviceId : ModbusOutcome
{
    ModbusDeviceId(const ModbusOutcome &outcome = {}) : ModbusOutcome(outcome) {}

    quint8 conformity = 0;
    QVector<DeviceObject> objects;
};

#endif // MODBUSTYPES_H
