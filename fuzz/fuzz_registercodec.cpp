// The register codec: decoding arbitrary register contents and encoding
// arbitrary value lists, checked against the read/write table and the
// promise that a value within its type's range reads back as written.
// Input: regType, regSize, valSize, floatPrec, valuesCnt and a mode byte,
// then the payload (register units for decoding; for encoding either
// regVals text or raw doubles, as the mode says).

#include <QJsonArray>
#include <QJsonDocument>
#include <QString>
#include <QVector>

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "fuzzsupport.h"
#include "registercodec.h"
#include "regvalsparser.h"

namespace {

const char *const regTypes[] = {"int", "uint", "long", "float1234", "float4321", "x", ""};
const int sizes[] = {16, 32, 16, 32, 8, 0, -1, 64};
const int counts[] = {0, -1, INT_MIN, INT_MAX, 200, 201, 4096, 1 << 28};

bool validSizes(int regSize, int valSize)
{
    return (regSize == 16 || regSize == 32) && (valSize == 16 || valSize == 32) && !(regSize == 32 && valSize == 16);
}

// Rows of the read table whose source is a 32-bit word.
bool readsWords(const QString &t, int regSize, int valSize)
{
    const bool isFloat = t == QLatin1String("float1234") || t == QLatin1String("float4321");
    return (isFloat && (regSize == 16 || regSize == 32)) || (t == QLatin1String("long") && regSize == 16)
            || ((t == QLatin1String("int") || t == QLatin1String("uint")) && valSize == 32);
}

QJsonArray decodedArray(const QByteArray &text)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(text, &error);
    FUZZ_CHECK(error.error == QJsonParseError::NoError);
    FUZZ_CHECK(doc.isArray());
    return doc.array();
}

void checkDecode(const QVector<quint16> &units, int valuesCnt, const QString &type, int regSize, int valSize,
                 int floatPrec)
{
    const QByteArray text = decodeRegisters(units, valuesCnt, type, regSize, valSize, floatPrec);
    if (valuesCnt <= 0) {
        FUZZ_CHECK(text == "[]");
        return;
    }
    const qint64 needed = readsWords(type, regSize, valSize) ? qint64(valuesCnt) * 2 : valuesCnt;
    if (units.size() < needed) {
        FUZZ_CHECK(text.isEmpty());
        return;
    }
    const QJsonArray values = decodedArray(text);
    FUZZ_CHECK(values.size() == valuesCnt);
    const bool isFloat = type == QLatin1String("float1234") || type == QLatin1String("float4321");
    for (const QJsonValue &v : values)
        FUZZ_CHECK(v.isDouble() || (isFloat && v.isNull()));
}

bool integral(double d, double low, double high)
{
    return std::isfinite(d) && std::trunc(d) == d && d >= low && d <= high;
}

void checkRoundTrip(const QVector<RegValsElement> &values, const QString &type, int regSize, int valSize)
{
    QVector<quint16> units;
    const bool ok = encodeRegisters(values, type, regSize, valSize, &units);
    FUZZ_CHECK(units.size() == unitCount(values.size(), regSize, valSize));
    if (!validSizes(regSize, valSize))
        return;
    const bool refused = !values.isEmpty() && needsWholeWords(type, regSize, valSize, CodecDirection::Write);
    FUZZ_CHECK(ok == !refused);
    if (!ok || values.isEmpty() || type == QLatin1String("long"))
        return;

    const int precision = 20;
    const QJsonArray read = decodedArray(decodeRegisters(units, values.size(), type, regSize, valSize, precision));
    FUZZ_CHECK(read.size() == values.size());
    const bool isFloat = type == QLatin1String("float1234") || type == QLatin1String("float4321");
    const bool shortForm = (type == QLatin1String("float4321") && regSize == 16)
            || (type == QLatin1String("float1234") && regSize == 32);
    for (int i = 0; i < values.size(); ++i) {
        const double got = read.at(i).toDouble();
        if (isFloat) {
            const double want = regValToFloat(values.at(i));
            const double slack =
                    shortForm && want != 100000000.0 ? std::fabs(want) * 1e-5 : 1e-20 + std::fabs(want) * 1e-15;
            FUZZ_CHECK(std::fabs(got - want) <= slack);
            continue;
        }
        const double want = regValToNumber(values.at(i));
        bool inRange;
        if (type == QLatin1String("int"))
            inRange = valSize == 32 ? integral(want, INT_MIN, INT_MAX) : integral(want, -32768, 32767);
        else if (type == QLatin1String("uint") && valSize == 32)
            inRange = integral(want, 0, 4294967295.0);
        else
            inRange = integral(want, 0, 65535);
        if (inRange)
            FUZZ_CHECK(got == want);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    silenceQtMessages();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 6)
        return 0;
    const QString type = QLatin1String(regTypes[data[0] % (sizeof regTypes / sizeof regTypes[0])]);
    const int regSize = sizes[data[1] % (sizeof sizes / sizeof sizes[0])];
    const int valSize = sizes[data[2] % (sizeof sizes / sizeof sizes[0])];
    const int floatPrec = int(int8_t(data[3]));
    const int valuesCnt = data[4] < 0xF0 ? data[4] : counts[data[4] % (sizeof counts / sizeof counts[0])];
    const uint8_t mode = data[5];
    const uint8_t *payload = data + 6;
    const size_t payloadSize = size - 6;

    QVector<quint16> units(int(payloadSize / 2));
    if (!units.isEmpty())
        std::memcpy(units.data(), payload, size_t(units.size()) * 2);
    checkDecode(units, valuesCnt, type, regSize, valSize, floatPrec);

    QVector<RegValsElement> values;
    if (mode & 1) {
        for (size_t at = 0; at + sizeof(double) <= payloadSize; at += sizeof(double)) {
            RegValsElement element;
            std::memcpy(&element.number, payload + at, sizeof(double));
            values.append(element);
        }
    } else if (!parseRegVals(QString::fromUtf8(reinterpret_cast<const char *>(payload), int(payloadSize)), &values)) {
        return 0;
    }
    checkRoundTrip(values, type, regSize, valSize);
    return 0;
}
