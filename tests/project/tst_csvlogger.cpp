#include <QtTest>

#include "apptestsupport.h"
#include "csvlogger.h"

static qint64 utc(const QString &iso)
{
    return QDateTime::fromString(iso, Qt::ISODateWithMs).toMSecsSinceEpoch();
}

// Files as "name|contents".
static QStringList filesIn(const QString &directory)
{
    QStringList out;
    const QDir dir(directory);
    for (const QString &name : dir.entryList(QDir::Files, QDir::Name))
        out << name + QLatin1Char('|') + QString::fromUtf8(readFile(dir.filePath(name)));
    return out;
}

class TestCsvLogger : public QObject
{
    Q_OBJECT

private slots:
    void rows_data();
    void rows();
    void fullDisk();
    void lookup_data();
    void lookup();
};

// clang-format off
void TestCsvLogger::rows_data()
{
    QTest::addColumn<QStringList>("before"); // files present at the start
    QTest::addColumn<int>("keepDays");
    QTest::addColumn<QStringList>("times"); // one row of cells 1,2 at each
    QTest::addColumn<QStringList>("after");

    const QString header = QStringLiteral("time,L1_V,flow\n");
    QTest::newRow("header, then rows") << QStringList() << 30
                                       << QStringList({"2025-12-10T04:00:00.123Z", "2025-12-10T04:00:01.000Z"})
                                       << QStringList({"p-2025-12-10.csv|" + header + "2025-12-10T04:00:00.123Z,1,2\n"
                                                       + "2025-12-10T04:00:01.000Z,1,2\n"});
    QTest::newRow("rotation at UTC midnight")
            << QStringList() << 30 << QStringList({"2025-12-31T23:59:59.999Z", "2026-01-01T00:00:00.000Z"})
            << QStringList({"p-2025-12-31.csv|" + header + "2025-12-31T23:59:59.999Z,1,2\n",
                            "p-2026-01-01.csv|" + header + "2026-01-01T00:00:00.000Z,1,2\n"});
    QTest::newRow("local offsets are read as UTC")
            << QStringList() << 30 << QStringList({"2025-12-10T23:30:00.000-02:00"})
            << QStringList({"p-2025-12-11.csv|" + header + "2025-12-11T01:30:00.000Z,1,2\n"});
    QTest::newRow("keepDays 2 keeps yesterday, of every project")
            << QStringList({"p-2025-11-01.csv|x\n", "q-2025-12-08.csv|x\n", "q-2025-12-09.csv|x\n",
                            "p-2025-12-08-1.csv|x\n", "notes-2025-01-01.txt|x\n"})
            << 2 << QStringList({"2025-12-10T00:00:00.000Z"})
            << QStringList({"notes-2025-01-01.txt|x\n", "p-2025-12-10.csv|" + header + "2025-12-10T00:00:00.000Z,1,2\n",
                            "q-2025-12-09.csv|x\n"});
    QTest::newRow("keepDays 0 keeps all") << QStringList({"p-2020-01-01.csv|x\n"}) << 0
                                          << QStringList({"2025-12-10T00:00:00.000Z"})
                                          << QStringList({"p-2020-01-01.csv|x\n",
                                                          "p-2025-12-10.csv|" + header + "2025-12-10T00:00:00.000Z,1,2\n"});
    QTest::newRow("pruned at rotation")
            << QStringList({"p-2025-12-09.csv|x\n"}) << 1
            << QStringList({"2025-12-10T23:59:59.999Z", "2025-12-11T00:00:00.000Z"})
            << QStringList({"p-2025-12-11.csv|" + header + "2025-12-11T00:00:00.000Z,1,2\n"});
    QTest::newRow("same tags: appended")
            << QStringList({"p-2025-12-10.csv|" + header + "2025-12-10T01:00:00.000Z,5,6\n"}) << 30
            << QStringList({"2025-12-10T02:00:00.000Z"})
            << QStringList({"p-2025-12-10.csv|" + header + "2025-12-10T01:00:00.000Z,5,6\n2025-12-10T02:00:00.000Z,1,2\n"});
    QTest::newRow("a cut-off row is closed")
            << QStringList({"p-2025-12-10.csv|" + header + "2025-12-10T01:00:00.000Z,5"}) << 30
            << QStringList({"2025-12-10T02:00:00.000Z"})
            << QStringList({"p-2025-12-10.csv|" + header + "2025-12-10T01:00:00.000Z,5\n2025-12-10T02:00:00.000Z,1,2\n"});
    QTest::newRow("other tags: the day's file set aside")
            << QStringList({"p-2025-12-10.csv|time,old\nx\n", "p-2025-12-10-1.csv|time,older\n"}) << 30
            << QStringList({"2025-12-10T02:00:00.000Z"})
            << QStringList({"p-2025-12-10-1.csv|time,older\n", "p-2025-12-10-2.csv|time,old\nx\n",
                            "p-2025-12-10.csv|" + header + "2025-12-10T02:00:00.000Z,1,2\n"});
}
// clang-format on

void TestCsvLogger::rows()
{
    QFETCH(QStringList, before);
    QFETCH(int, keepDays);
    QFETCH(QStringList, times);
    QFETCH(QStringList, after);
    QTemporaryDir temp;
    const QString directory = temp.filePath(QStringLiteral("logs"));
    QVERIFY(QDir().mkpath(directory));
    for (const QString &file : before)
        QVERIFY(writeFile(directory + QLatin1Char('/') + file.section(QLatin1Char('|'), 0, 0),
                          file.section(QLatin1Char('|'), 1).toUtf8()));
    qint64 now = 0;
    CsvLogger logger(directory, QStringLiteral("p"), {"L1_V", "flow"}, keepDays, [&now] { return now; });
    for (const QString &time : times) {
        now = utc(time);
        QVERIFY(logger.append({"1", "2", "dropped"}));
    }
    QCOMPARE(filesIn(directory), after);
}

void TestCsvLogger::fullDisk()
{
    if (!QFileInfo::exists(QStringLiteral("/dev/full")))
        QSKIP("no /dev/full here");
    QTemporaryDir temp;
    const QString file = temp.filePath(QStringLiteral("p-2025-12-10.csv"));
    QVERIFY(QFile::link(QStringLiteral("/dev/full"), file));
    CsvLogger logger(temp.path(), QStringLiteral("p"), {"a"}, 30, [] { return utc("2025-12-10T12:00:00.000Z"); });
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^CsvLogger: logging stopped: .+"));
    QVERIFY(!logger.append({"1"}));
    QVERIFY(logger.isStopped());
    QVERIFY(!logger.error().isEmpty());
    QVERIFY(!logger.append({"2"})); // quietly: one log line, not one per cycle
}

// clang-format off
void TestCsvLogger::lookup_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("served");

    QTest::newRow("a day's log") << "p-2025-12-10.csv" << true;
    QTest::newRow("a set-aside log") << "p-2025-12-10-1.csv" << true;
    QTest::newRow("not a log name") << "notes.txt" << false;
    QTest::newRow("up and out") << "../p-2025-12-10.csv" << false;
    QTest::newRow("a symbolic link") << "q-2025-12-10.csv" << false;
    QTest::newRow("a directory") << "d-2025-12-10.csv" << false;
    QTest::newRow("absolute") << "/etc/passwd" << false;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("a name that is not there") << "p-2025-12-11.csv" << false;
}
// clang-format on

void TestCsvLogger::lookup()
{
    QFETCH(QString, name);
    QFETCH(bool, served);
    QTemporaryDir temp;
    const QString directory = temp.filePath(QStringLiteral("logs"));
    QVERIFY(QDir().mkpath(directory + QStringLiteral("/d-2025-12-10.csv")));
    for (const char *file : {"p-2025-12-10.csv", "p-2025-12-10-1.csv", "notes.txt"})
        QVERIFY(writeFile(directory + QLatin1Char('/') + QLatin1String(file), "time\n"));
    QVERIFY(writeFile(temp.filePath(QStringLiteral("p-2025-12-10.csv")), "outside\n"));
    QVERIFY(QFile::link(temp.filePath(QStringLiteral("p-2025-12-10.csv")),
                        directory + QStringLiteral("/q-2025-12-10.csv")));

    QCOMPARE(CsvLogger::logFiles(directory), QStringList({"p-2025-12-10-1.csv", "p-2025-12-10.csv"}));
    QCOMPARE(CsvLogger::logFilePath(directory, name), served ? directory + QLatin1Char('/') + name : QString());
}

QTEST_GUILESS_MAIN(TestCsvLogger)
#include "tst_csvlogger.moc"
