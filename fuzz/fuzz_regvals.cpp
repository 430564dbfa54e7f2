// The register value-list reader. Input: the text of regVals as UTF-8.
// What is accepted must read back the same when written out again, and every
// element must convert without undefined behaviour.

#include <QString>
#include <QVector>

#include <cmath>
#include <cstdint>

#include "fuzzsupport.h"
#include "regvalsparser.h"

namespace {

// A numbers-and-strings literal the reader must accept, built from elements.
QString writeLiteral(const QVector<RegValsElement> &elements)
{
    QString out = QStringLiteral("[");
    for (int i = 0; i < elements.size(); ++i) {
        if (i > 0)
            out += QLatin1Char(',');
        const RegValsElement &e = elements.at(i);
        if (e.kind == RegValsElement::Number) {
            out += QString::number(e.number, 'g', 17);
        } else {
            out += QLatin1Char('"');
            for (const QChar ch : e.text)
                out += QStringLiteral("\\u%1").arg(ch.unicode(), 4, 16, QLatin1Char('0'));
            out += QLatin1Char('"');
        }
    }
    out += QLatin1Char(']');
    return out;
}

bool sameNumber(double a, double b)
{
    return a == b || (std::isnan(a) && std::isnan(b));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    silenceQtMessages();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString source = QString::fromUtf8(reinterpret_cast<const char *>(data), int(size));
    scriptStringToNumber(source);

    QVector<RegValsElement> elements;
    elements.append(RegValsElement());
    const bool ok = parseRegVals(source, &elements);
    if (!ok) {
        FUZZ_CHECK(elements.isEmpty());
        return 0;
    }
    FUZZ_CHECK(elements.size() <= kMaxRegValsElements);
    FUZZ_CHECK(source.size() <= kMaxRegValsLength);

    bool finite = true;
    for (const RegValsElement &e : elements) {
        const double number = regValToNumber(e);
        const qint32 asInt = regValToInt32(e);
        const quint32 asUint = regValToUint32(e);
        FUZZ_CHECK(quint32(asInt) == asUint);
        if (std::isfinite(number) && std::trunc(number) == number && std::fabs(number) < 2147483648.0)
            FUZZ_CHECK(asInt == qint32(number));
        const float asFloat = regValToFloat(e);
        FUZZ_CHECK(std::isfinite(asFloat));
        FUZZ_CHECK(std::isfinite(regValToDouble(e)));
        FUZZ_CHECK(quint32(regValToUint64(e)) == asUint || !std::isfinite(number)
                   || std::fabs(number) >= 9007199254740992.0 || e.exactInteger || e.kind == RegValsElement::String);
        if (e.exactInteger) {
            // Its digits written out read back as the same exact integer.
            QVector<RegValsElement> again;
            const QString digits = (std::signbit(e.number) ? QStringLiteral("[-") : QStringLiteral("["))
                    + QString::number(e.magnitude) + QLatin1Char(']');
            FUZZ_CHECK(parseRegVals(digits, &again) && again.size() == 1 && again.at(0).exactInteger
                       && again.at(0).magnitude == e.magnitude && regValToUint64(again.at(0)) == regValToUint64(e));
        }
        if (e.kind == RegValsElement::Number) {
            FUZZ_CHECK(!std::isnan(e.number));
            finite = finite && std::isfinite(e.number);
        }
    }

    // Written out again (infinities have no literal), it reads the same.
    // Escaping can make the text longer than the reader takes; that is no finding.
    const QString literal = writeLiteral(elements);
    if (finite && literal.size() <= kMaxRegValsLength) {
        QVector<RegValsElement> again;
        FUZZ_CHECK(parseRegVals(literal, &again));
        FUZZ_CHECK(again.size() == elements.size());
        for (int i = 0; i < elements.size(); ++i) {
            FUZZ_CHECK(again.at(i).kind == elements.at(i).kind);
            FUZZ_CHECK(sameNumber(again.at(i).number, elements.at(i).number));
            FUZZ_CHECK(again.at(i).text == elements.at(i).text);
        }
    }
    return 0;
}
