#include "csvlogger.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>

namespace {

// <project>-YYYY-MM-DD.csv, and <project>-YYYY-MM-DD-N.csv for a day's file
// set aside because the tags changed.
const QRegularExpression &logNamePattern()
{
    static const QRegularExpression pattern(
            QStringLiteral("^[A-Za-z0-9_-]{1,64}-(\\d{4}-\\d{2}-\\d{2})(?:-\\d{1,4})?\\.csv$"));
    return pattern;
}

} // namespace

CsvLogger::CsvLogger(const QString &directory, const QString &project, const QStringList &tags, int keepDays,
                     Clock clock)
    : directory(directory), project(project), columns(tags.size()), keepDays(keepDays), clock(std::move(clock))
{
    if (!this->clock)
        this->clock = [] { return QDateTime::currentMSecsSinceEpoch(); };
    header = "time";
    for (const QString &tag : tags)
        header += ',' + tag.toUtf8();
    header += '\n';
}

QString CsvLogger::defaultDirectory()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + QStringLiteral("/logs");
}

bool CsvLogger::append(const QVector<QByteArray> &cells)
{
    if (stopped)
        return false;
    const QDateTime now = QDateTime::fromMSecsSinceEpoch(clock(), Qt::UTC);
    if (now.date() != day && !open(now.date()))
        return false;
    QByteArray row = now.toString(Qt::ISODateWithMs).toLatin1();
    for (int i = 0; i < columns; ++i) {
        row += ',';
        if (i < cells.size())
            row += cells.at(i);
    }
    row += '\n';
    // Written through at once, so a full disk shows on this row, not at close.
    if (file.write(row) != row.size() || !file.flush()) {
        stop(file.errorString());
        return false;
    }
    return true;
}

bool CsvLogger::open(const QDate &today)
{
    file.close();
    if (!QDir().mkpath(directory)) {
        stop(QStringLiteral("cannot create %1").arg(directory));
        return false;
    }
    const QString dayName = project + QLatin1Char('-') + today.toString(QStringLiteral("yyyy-MM-dd"));
    const QString path = QDir(directory).filePath(dayName + QStringLiteral(".csv"));
    QFile existing(path);
    bool endsInNewline = true;
    // A file of the day with other columns (the tags changed) is set aside
    // rather than mixing two layouts under one header.
    if (existing.size() > 0 && existing.open(QIODevice::ReadOnly)) {
        const QByteArray firstLine = existing.readLine(header.size() + 1);
        char last = '\n';
        existing.seek(existing.size() - 1);
        existing.getChar(&last);
        endsInNewline = last == '\n';
        existing.close();
        if (firstLine != header) {
            endsInNewline = true;
            for (int n = 1; n < 10000; ++n) {
                const QString aside = QDir(directory).filePath(dayName + QStringLiteral("-%1.csv").arg(n));
                if (!QFileInfo::exists(aside)) {
                    QFile::rename(path, aside);
                    break;
                }
            }
        }
    }
    file.setFileName(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append)) {
        stop(file.errorString());
        return false;
    }
    day = today;
    // A row cut off by an earlier end of the program is closed first.
    const QByteArray start = file.size() == 0 ? header : endsInNewline ? QByteArray() : QByteArray("\n");
    if (!start.isEmpty() && (file.write(start) != start.size() || !file.flush())) {
        stop(file.errorString());
        return false;
    }
    prune(today);
    return true;
}

void CsvLogger::prune(const QDate &today) const
{
    if (keepDays <= 0)
        return;
    const QDate oldestKept = today.addDays(-(keepDays - 1));
    const QDir dir(directory);
    for (const QString &name : logFiles(directory)) {
        const QDate date = QDate::fromString(logNamePattern().match(name).captured(1), QStringLiteral("yyyy-MM-dd"));
        if (date.isValid() && date < oldestKept)
            QFile::remove(dir.filePath(name));
    }
}

void CsvLogger::stop(const QString &why)
{
    stopped = true;
    fault = why;
    file.close();
    qWarning().noquote() << "CsvLogger: logging stopped:" << why;
}

QStringList CsvLogger::logFiles(const QString &directory)
{
    QStringList names;
    const QFileInfoList entries = QDir(directory).entryInfoList(QDir::Files | QDir::NoSymLinks, QDir::Name);
    for (const QFileInfo &entry : entries) {
        if (logNamePattern().match(entry.fileName()).hasMatch())
            names << entry.fileName();
    }
    return names;
}

QString CsvLogger::logFilePath(const QString &directory, const QString &name)
{
    return logFiles(directory).contains(name) ? QDir(directory).filePath(name) : QString();
}
