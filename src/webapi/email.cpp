#include "email.h"
#include "jsontext.h"

#include <mutex>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSettings>
#include <QStandardPaths>
#include <QThread>

#include "platformfiles.h"

const char *const Email::messageFile = "emailMessage.txt";
const char *const Email::errorFile = "emailError.txt";

namespace {

// The message and error files have fixed names: one report at a time in the
// whole process.
std::mutex reportLock;

const int limits[7] = {20, 30, 30, 50, 25, 20, 2000};

bool isJsonSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

void skipSpace(const QByteArray &text, int &i)
{
    while (i < text.size() && isJsonSpace(text.at(i)))
        ++i;
}

void skipString(const QByteArray &text, int &i)
{
    ++i; // opening quote
    while (i < text.size()) {
        const char c = text.at(i++);
        if (c == '\\')
            ++i;
        else if (c == '"')
            return;
    }
}

void skipValue(const QByteArray &text, int &i)
{
    if (i >= text.size())
        return;
    const char first = text.at(i);
    if (first == '"') {
        skipString(text, i);
        return;
    }
    if (first == '{' || first == '[') {
        int depth = 0;
        while (i < text.size()) {
            const char c = text.at(i);
            if (c == '"') {
                skipString(text, i);
                continue;
            }
            ++i;
            if (c == '{' || c == '[')
                ++depth;
            else if ((c == '}' || c == ']') && --depth == 0)
                return;
        }
        return;
    }
    while (i < text.size() && !isJsonSpace(text.at(i)) && text.at(i) != ',' && text.at(i) != '}')
        ++i;
}

// The raw value texts of an object's members in the order written; QJsonObject
// itself sorts its keys. Only called on text QJsonDocument accepted.
QList<QByteArray> memberValueTexts(const QByteArray &text)
{
    QList<QByteArray> values;
    int i = 0;
    skipSpace(text, i);
    if (i >= text.size() || text.at(i) != '{')
        return values;
    ++i;
    for (;;) {
        skipSpace(text, i);
        if (i >= text.size() || text.at(i) != '"')
            return values;
        skipString(text, i);
        skipSpace(text, i);
        if (i >= text.size() || text.at(i) != ':')
            return values;
        ++i;
        skipSpace(text, i);
        const int start = i;
        skipValue(text, i);
        values.append(text.mid(start, i - start));
        skipSpace(text, i);
        if (i >= text.size() || text.at(i) != ',')
            return values;
        ++i;
    }
}

enum class JsonValues { NotAnObject, Bad, Read };

JsonValues objectValues(const QByteArray &text, QStringList &values)
{
    QJsonParseError error;
    const QJsonDocument document = parseForeignJson(text, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return JsonValues::NotAnObject;
    const QList<QByteArray> raw = memberValueTexts(text).mid(0, 7);
    if (raw.size() < 7)
        return JsonValues::Bad;
    QByteArray list("[");
    for (const QByteArray &value : raw)
        list += value + ',';
    list[list.size() - 1] = ']';
    const QJsonArray array = QJsonDocument::fromJson(list).array();
    if (array.size() != 7)
        return JsonValues::Bad;
    for (int i = 0; i < 7; ++i) {
        if (array.at(i).isString())
            values.append(array.at(i).toString());
        else if (array.at(i).isDouble())
            values.append(QString::fromUtf8(raw.at(i))); // the digits as written
        else
            return JsonValues::Bad;
    }
    return JsonValues::Read;
}

QString oneLine(QString value)
{
    return value.replace(QLatin1String("\r\n"), QLatin1String(" "))
            .replace(QLatin1Char('\r'), QLatin1Char(' '))
            .replace(QLatin1Char('\n'), QLatin1Char(' '));
}

} // namespace

Email::Config Email::Config::read(const QString &configFile)
{
    Config config;
    if (configFile.isEmpty())
        return config;
    QSettings settings(configFile, QSettings::IniFormat);
    settings.beginGroup(QStringLiteral("email"));
    config.server = settings.value(QStringLiteral("server")).toString().trimmed();
    config.from = settings.value(QStringLiteral("from")).toString();
    config.to = settings.value(QStringLiteral("to")).toString();
    config.user = settings.value(QStringLiteral("user")).toString();
    config.password = settings.value(QStringLiteral("password")).toString();
    config.tool = settings.value(QStringLiteral("curl"), config.tool).toString();
    if (config.tool.isEmpty())
        config.tool = QStringLiteral("curl");
    config.insecureTls = settings.value(QStringLiteral("insecureTls"), false).toBool();
    config.caFile = settings.value(QStringLiteral("caFile")).toString().trimmed();
    return config;
}

Email::Email(const QString &configFile, QObject *parent) : QObject(parent), config(Config::read(configFile))
{}

QString Email::filePath(const char *name)
{
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + QLatin1Char('/') + QLatin1String(name);
}

void Email::setToolTimeout(int milliseconds)
{
    toolTimeout = milliseconds;
}

QStringList Email::readValues(const QByteArray &json, bool *isJson)
{
    const QByteArray decoded = percentDecodedAgain(json);
    QStringList values;
    const JsonValues read = objectValues(decoded, values);
    if (isJson)
        *isJson = read != JsonValues::NotAnObject;
    if (read == JsonValues::Read)
        return values;
    if (read == JsonValues::Bad)
        return QStringList();

    QString text = QString::fromUtf8(decoded);
    text.remove(QLatin1Char('{')).remove(QLatin1Char('}')).remove(QLatin1Char('"'));
    const QStringList pieces = text.split(QLatin1Char(','));
    if (pieces.size() < 7)
        return QStringList();
    values.clear();
    for (int i = 0; i < 7; ++i) {
        if (!pieces.at(i).contains(QLatin1Char(':')))
            return QStringList();
        values.append(pieces.at(i).section(QLatin1Char(':'), 1, 1));
    }
    return values;
}

int Email::tooLong(const QStringList &values)
{
    for (int i = 0; i < 7 && i < values.size(); ++i) {
        if (values.at(i).size() > limits[i])
            return i;
    }
    return -1;
}

QStringList Email::withoutLineBreaks(QStringList values, bool isJson)
{
    if (!isJson && values.size() > 6)
        values[6].replace(QLatin1String("\\n"), QLatin1String(" "));
    // A line break in a value would start a line of its own in the message,
    // in the Subject a forged header.
    for (QString &value : values)
        value = oneLine(value);
    return values;
}

QByteArray Email::messageFileBytes(const QStringList &values)
{
    const auto v = [&values](int i) { return values.value(i).toUtf8(); };
    QByteArray bytes;
    bytes += "Subject: " + v(0) + ' ' + v(1) + " sent a message.\r\n";
    bytes += "MIME-Version: 1.0\r\n";
    bytes += "Content-Transfer-Encoding: 8bit\r\n";
    bytes += "Content-Type: text/plain;charset=utf-8\r\n";
    bytes += "Client name   " + v(0) + "\r\n";
    bytes += "Client surname   " + v(1) + "\r\n";
    bytes += "Client email   " + v(2) + "\r\n";
    bytes += "Client company   " + v(3) + "\r\n";
    bytes += "Client phone   " + v(4) + "\r\n";
    bytes += "Client Brio version   " BRIO_VERSION "\r\n";
    bytes += "Client Brio active module   " + v(5) + "\r\n";
    bytes += "Client message   \r\n";
    bytes += v(6) + "\r\n";
    return bytes;
}

QStringList Email::toolArguments() const
{
    QStringList arguments{QStringLiteral("--ssl-reqd")};
    if (config.insecureTls)
        arguments << QStringLiteral("-k") << QStringLiteral("--insecure");
    if (!config.caFile.isEmpty())
        arguments << QStringLiteral("--cacert") << config.caFile;
    // The login travels in the configuration on standard input: a command
    // line can be read by every local user.
    arguments << QStringLiteral("--url") << QStringLiteral("smtps://") + config.server + QStringLiteral(":465")
              << QStringLiteral("--mail-from") << config.from << QStringLiteral("--mail-rcpt") << config.to
              << QStringLiteral("-K") << QStringLiteral("-") << QStringLiteral("-T") << filePath(messageFile);
    return arguments;
}

QByteArray Email::curlQuoted(const QString &text)
{
    QByteArray quoted("\"");
    for (const char c : text.toUtf8()) {
        switch (c) {
        case '\\': quoted += "\\\\"; break;
        case '"': quoted += "\\\""; break;
        case '\n': quoted += "\\n"; break;
        case '\r': quoted += "\\r"; break;
        case '\t': quoted += "\\t"; break;
        case '\v': quoted += "\\v"; break;
        default: quoted += c;
        }
    }
    return quoted + '"';
}

QByteArray Email::toolConfig() const
{
    return "user = " + curlQuoted(config.user + QLatin1Char(':') + config.password) + '\n';
}

void Email::writeEmailError(const QString &text)
{
    QDir().mkpath(QFileInfo(filePath(errorFile)).absolutePath());
    PlatformFiles::writePrivateFile(filePath(errorFile), text.toUtf8());
}

QByteArray Email::sendEmail(t_GetArray &parameters)
{
    std::lock_guard<std::mutex> locker(reportLock);

    const QDateTime now = QDateTime::currentDateTime();
    QSettings store;
    const QDateTime last = store.value(QStringLiteral("time")).toDateTime();
    if (last.isValid()) {
        qint64 elapsed = last.secsTo(now);
        // A report time ahead of the clock (the clock went back) counts as
        // just now, so the window cannot be dodged, nor last for ever.
        if (last.msecsTo(now) < 0) {
            store.setValue(QStringLiteral("time"), now);
            elapsed = 0;
        }
        if (elapsed < windowSeconds)
            return "{\"status\":\"time\",\"timeleft\":\"" + QByteArray::number(windowSeconds - elapsed) + "\"}";
    }

    if (sentThisRun >= reportsPerRun) {
        QThread::msleep(1500);
        return QByteArray("{\"status\":\"ok!\"}");
    }

    if (!parameters.contains("json"))
        return QByteArray("{\"error\":\"Parameter error!\"}");
    bool isJson = false;
    QStringList values = readValues(parameters.value("json"), &isJson);
    if (values.size() != 7)
        return QByteArray("{\"error\":\"Parameter error!\"}");
    if (tooLong(values) >= 0)
        return QByteArray("{\"error\":\"err2!\"}");
    values = withoutLineBreaks(values, isJson);

    if (!send(values))
        return QByteArray("{\"status\":\"err!\"}");

    store.setValue(QStringLiteral("time"), now);
    ++sentThisRun;
    store.setValue(QStringLiteral("how_many_email_send"), sentThisRun);
    return QByteArray("{\"status\":\"ok!\"}");
}

bool Email::send(const QStringList &values)
{
    if (config.server.isEmpty()) {
        writeEmailError(QStringLiteral("No mail server is configured ([email] server in config.ini)."));
        return false;
    }

    // Without a fresh message file the tool would send an earlier report.
    const QString messagePath = filePath(messageFile);
    QString reason;
    if (!QDir().mkpath(QFileInfo(messagePath).absolutePath())
        || !PlatformFiles::writePrivateFile(messagePath, messageFileBytes(values), &reason)) {
        writeEmailError(QStringLiteral("Cannot write %1: %2").arg(QString::fromLatin1(messageFile), reason));
        return false;
    }

    QProcess process;
    process.start(config.tool, toolArguments(), QIODevice::ReadWrite);
    if (!process.waitForStarted(toolTimeout)) {
        writeEmailError(QStringLiteral("curl: cannot start %1: %2").arg(config.tool, process.errorString()));
        return false;
    }
    process.write(toolConfig());
    process.closeWriteChannel();
    const bool finished = process.waitForFinished(toolTimeout);
    if (!finished) {
        process.kill();
        process.waitForFinished(3000);
    }
    QByteArray raw = process.readAllStandardError();
    const int nul = raw.indexOf('\0');
    if (nul >= 0)
        raw.truncate(nul);
    QString errors = QString::fromLatin1(raw);

    if (errors.contains(QLatin1String("'curl'")) || errors.contains(QLatin1String("curl:"))) {
        writeEmailError(errors);
        return false;
    }
    // Silence is no success when the tool was stopped or failed.
    if (!finished) {
        writeEmailError(errors + QStringLiteral("curl: no answer within %1 ms, stopped\n").arg(toolTimeout));
        return false;
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        writeEmailError(errors + QStringLiteral("curl: ended with status %1\n").arg(process.exitCode()));
        return false;
    }
    return true;
}
