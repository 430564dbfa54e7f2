#ifndef CSVLOGGER_H
#define CSVLOGGER_H

#include <QByteArray>
#include <QDate>
#include <QFile>
#include <QString>
#include <QStringList>
#include <QVector>
#include <functional>

// One running project's log: one row per poll cycle in
// <directory>/<project>-YYYY-MM-DD.csv, a new file at each UTC midnight,
// files older than keepDays removed when a file is opened. The first write
// fault (a full disk, a vanished directory) stops logging with one log line;
// nothing is thrown and the caller goes on.
class CsvLogger
{
public:
    using Clock = std::function<qint64()>; // ms since the epoch

    // keepDays 1 keeps only today's file; 0 or below keeps every file.
    CsvLogger(const QString &directory, const QString &project, const QStringList &tags, int keepDays,
              Clock clock = Clock());
    CsvLogger(const CsvLogger &) = delete;
    CsvLogger &operator=(const CsvLogger &) = delete;

    // Appends "time,cell,..." stamped by the clock, in ISO 8601 UTC with
    // milliseconds; cells beyond the tags are dropped, missing ones left
    // empty. False once logging has stopped.
    bool append(const QVector<QByteArray> &cells);

    bool isStopped() const { return stopped; }
    QString error() const { return fault; }
    QString currentFile() const { return file.fileName(); }

    // The per-user data directory's logs/.
    static QString defaultDirectory();
    // The log files in the directory (every project's), sorted by name.
    static QStringList logFiles(const QString &directory);
    // The path of a file logFiles lists; empty for any other name.
    static QString logFilePath(const QString &directory, const QString &name);

private:
    bool open(const QDate &day);
    void prune(const QDate &today) const;
    void stop(const QString &why);

    QString directory;
    QString project;
    QByteArray header;
    int columns = 0;
    int keepDays = 0;
    Clock clock;
    QFile file;
    QDate day;
    bool stopped = false;
    QString fault;
};

#endif // CSVLOGGER_H
