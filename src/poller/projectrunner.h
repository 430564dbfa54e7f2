#ifndef PROJECTRUNNER_H
#define PROJECTRUNNER_H

#include <QByteArray>
#include <QString>
#include <QVector>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "devicemaster.h"
#include "modbustypes.h"
#include "project.h"
#include "readplanner.h"
#include "tagvalue.h"

class BusLines;
class BusPoller;
class CsvLogger;
class QThread;

// One running project: a poller per bus, the tags' readings, and a cycle
// clock at the fastest tag's period that appends a CSV row and hands on
// the values. Stopped and joined by its destructor.
class ProjectRunner
{
public:
    struct Sinks
    {
        QString logDirectory; // empty: no log
        int keepDays = 30;
        // Each cycle, on the cycle thread, with the getTagValues JSON.
        std::function<void(const QByteArray &json)> cycle;
        // Each tag read, and each tag going stale, on a poller or the cycle
        // thread: the tag's name and its {"v":...,"t":...,"q":"..."}.
        std::function<void(const QString &tag, const QByteArray &payload)> tagChanged;
        // The pollers' frames and counts, besides their tags.
        BusMonitor monitor;
    };

    ProjectRunner(BusLines &lines, const QString &name, const Project &project, const Sinks &sinks);
    ~ProjectRunner();
    ProjectRunner(const ProjectRunner &) = delete;
    ProjectRunner &operator=(const ProjectRunner &) = delete;

    // Stops polling and waits for the transfers under way; idempotent.
    void stop();

    QString name() const { return projectName; }
    const Project &project() const { return theProject; }
    int cyclePeriodMs() const { return periodMs; }

    // Any thread: the getTagValues JSON now.
    QByteArray valuesJson() const;

    // From a poller: how one read of a plan ended, with its words.
    void store(const ReadPlan &plan, const ModbusWords &result, qint64 nowMs);

    // The quality a transfer outcome gives the tags it read.
    static TagOutcome outcomeOf(const ModbusOutcome &outcome, int *exceptionCode);

private:
    void runCycles();
    void cycle(qint64 nowMs);

    const QString projectName;
    const Project theProject;
    const Sinks sinks;
    int periodMs = 1000;

    mutable std::mutex mutex; // readings, stalePublished
    QVector<TagReading> readings;
    QVector<bool> stalePublished;

    std::mutex clockMutex;
    std::condition_variable clockWake;
    bool stopping = false;

    std::unique_ptr<CsvLogger> logger; // the cycle thread's
    std::vector<std::unique_ptr<BusPoller>> pollers;
    std::unique_ptr<QThread> clock;
};

#endif // PROJECTRUNNER_H
