#include "tagcodec.h"

#include <cmath>

#include "registercodec.h"

namespace {

ValueFormat formatOf(const ProjectTag &tag)
{
    ValueFormat format;
    switch (tag.type) {
    case TagType::Int: format.type = ValueType::Int; break;
    case TagType::Uint: format.type = ValueType::Uint; break;
    case TagType::Float: format.type = ValueType::Float; break;
    }
    format.regSize = 16;
    format.valSize = tag.valSize;
    // Always explicit: the codec's absent order keeps older types' own orders.
    switch (tag.byteOrder) {
    case TagByteOrder::ABCD: format.byteOrder = ByteOrder::ABCD; break;
    case TagByteOrder::CDAB: format.byteOrder = ByteOrder::CDAB; break;
    case TagByteOrder::BADC: format.byteOrder = ByteOrder::BADC; break;
    case TagByteOrder::DCBA: format.byteOrder = ByteOrder::DCBA; break;
    }
    return format;
}

} // namespace

ModbusTable modbusTable(TagTable table)
{
    switch (table) {
    case TagTable::Holding: return ModbusTable::HoldingRegisters;
    case TagTable::Input: return ModbusTable::InputRegisters;
    case TagTable::Coils: return ModbusTable::Coils;
    case TagTable::Discrete: return ModbusTable::DiscreteInputs;
    }
    return ModbusTable::HoldingRegisters;
}

TransferRequest planRequest(const ReadPlan &plan)
{
    TransferRequest request;
    request.table = modbusTable(plan.table);
    request.address = plan.address;
    request.count = plan.count;
    request.wordSize = 16;
    return request;
}

bool decodeTag(const ProjectTag &tag, const QVector<quint16> &words, int offset, double *raw)
{
    const int width = tagWidth(tag);
    if (offset < 0 || offset + width > words.size())
        return false;
    if (isBitTable(tag.table)) {
        *raw = words.at(offset) ? 1 : 0;
        return true;
    }
    QVector<double> values;
    if (!decodeNumbers(words.mid(offset, width), 1, formatOf(tag), &values) || values.size() != 1)
        return false;
    *raw = values.first();
    return true;
}

TransferRequest tagWriteRequest(const ProjectTag &tag, double raw)
{
    TransferRequest request;
    request.table = modbusTable(tag.table);
    request.address = tag.regAddr;
    request.wordSize = 16;
    if (isBitTable(tag.table)) {
        request.count = 1;
        request.words = {quint16(raw != 0 ? 1 : 0)};
        return request;
    }
    RegValsElement element;
    element.number = raw;
    if (tag.type != TagType::Float) {
        // Whole numbers go in exactly, so 64-bit values keep their digits.
        element.exactInteger = true;
        element.magnitude = quint64(std::fabs(raw));
    }
    request.count = tagWidth(tag);
    encodeValues({element}, 1, formatOf(tag), &request.words);
    return request;
}
