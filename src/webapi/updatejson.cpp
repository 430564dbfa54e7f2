#include "updatejson.h"
#include "jsontext.h"
#include "tgetarray.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonValue>
#include <QLocale>
#include <QUrl>

namespace updatejson {

QString scriptNumber(double value)
{
    // Shortest round-trip digits, laid out by the rules browsers use for
    // Number's text: plain decimals from 1e-6 up to below 1e21.
    const QString e = QString::number(value, 'e', QLocale::FloatingPointShortest);
    const int ePos = e.indexOf(QLatin1Char('e'));
    if (ePos < 0)
        return e;
    QString mantissa = e.left(ePos);
    const int exponent = e.mid(ePos + 1).toInt();
    QString sign;
    if (mantissa.startsWith(QLatin1Char('-'))) {
        sign = QStringLiteral("-");
        mantissa.remove(0, 1);
    }
    QString digits = mantissa;
    digits.remove(QLatin1Char('.'));
    if (digits == QLatin1String("0"))
        return QStringLiteral("0");
    const int k = digits.size();
    const int n = exponent + 1;
    if (k <= n && n <= 21)
        return sign + digits + QString(n - k, QLatin1Char('0'));
    if (0 < n && n <= 21)
        return sign + digits.left(n) + QLatin1Char('.') + digits.mid(n);
    if (-6 < n && n <= 0)
        return sign + QStringLiteral("0.") + QString(-n, QLatin1Char('0')) + digits;
    const QString exponentText = (n - 1 < 0 ? QStringLiteral("-") : QStringLiteral("+")) + QString::number(qAbs(n - 1));
    if (k == 1)
        return sign + digits + QLatin1Char('e') + exponentText;
    return sign + digits.left(1) + QLatin1Char('.') + digits.mid(1) + QLatin1Char('e') + exponentText;
}

QString scriptText(const QJsonValue &value)
{
    switch (value.type()) {
    case QJsonValue::String: return value.toString();
    case QJsonValue::Double: return scriptNumber(value.toDouble());
    case QJsonValue::Bool: return value.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    case QJsonValue::Null: return QStringLiteral("null");
    case QJsonValue::Array: {
        // Array to text joins the elements; null elements print as nothing.
        QStringList parts;
        const QJsonArray array = value.toArray();
        for (const QJsonValue &element : array)
            parts << (element.isNull() ? QString() : scriptText(element));
        return parts.join(QLatin1Char(','));
    }
    case QJsonValue::Object: return QStringLiteral("[object Object]");
    case QJsonValue::Undefined: break;
    }
    return QStringLiteral("undefined");
}

QStringList textArray(const QByteArray &utf8Json, bool *isArray)
{
    QJsonParseError error;
    const QJsonDocument doc = parseForeignJson(utf8Json, &error);
    QStringList result;
    const bool array = error.error == QJsonParseError::NoError && doc.isArray();
    if (isArray)
        *isArray = array;
    if (!array)
        return result;
    const QJsonArray elements = doc.array();
    for (const QJsonValue &element : elements)
        result << scriptText(element);
    return result;
}

QStringList modulesList(const QByteArray &parameter, bool *isArray)
{
    return textArray(QString::fromUtf8(percentDecodedAgain(parameter)).toUtf8(), isArray);
}

QStringList fileList(const QByteArray &body, bool *isArray)
{
    const int nul = body.indexOf('\0');
    const QByteArray text = nul < 0 ? body : body.left(nul);
    return textArray(QString::fromLatin1(text).toUtf8(), isArray);
}

namespace {

// A piece that names the directory itself or its parent, or hides another
// separator, could lead a write out of the download directory.
bool unsafePiece(const QString &piece)
{
    const QString decoded = QUrl::fromPercentEncoding(piece.toUtf8());
    for (const QString &text : {piece, decoded}) {
        if (text.contains(QLatin1Char('\\')) || text.contains(QChar(0)))
            return true;
        if (text == QLatin1String("..") || text == QLatin1String("."))
            return true;
    }
    return decoded.contains(QLatin1Char('/'));
}

} // namespace

QString relativeDownloadPath(const QString &urlText)
{
    const QStringList pieces = urlText.split(QLatin1Char('/'));
    int start = -1;
    for (int i = 0; i < pieces.size() && start < 0; ++i) {
        const QString &piece = pieces.at(i);
        if (piece == QLatin1String("root") || piece == QLatin1String("modules") || piece == QLatin1String("install"))
            start = i;
    }
    if (start < 0)
        return QString();
    QString path;
    for (int i = start; i < pieces.size(); ++i) {
        if (unsafePiece(pieces.at(i)))
            return QString();
        path += QLatin1Char('/') + pieces.at(i);
    }
    return path;
}

} // namespace updatejson
