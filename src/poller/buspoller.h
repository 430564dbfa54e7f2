#ifndef BUSPOLLER_H
#define BUSPOLLER_H

#include <QThread>
#include <QVector>
#include <condition_variable>
#include <mutex>

#include "devicemaster.h"
#include "project.h"
#include "readplanner.h"

class BusLines;
class ProjectRunner;

// Polls the reads of one bus (a serial port, or a TCP host and port), each
// at its own period, on a thread of its own: a slow device holds up only its
// own bus. Each device has its own master; every transfer takes its turn on
// the line, so interactive calls slip in between polls.
class BusPoller : public QThread
{
    Q_OBJECT
public:
    BusPoller(BusLines &lines, const Project &project, const QVector<ReadPlan> &plans, ProjectRunner &runner,
              const BusMonitor &monitor);
    ~BusPoller() override;

    // Ends the loop after the transfer under way, if any.
    void requestStop();

    // The bus a device is polled on.
    static QString busKey(const ProjectDevice &device);

protected:
    void run() override;

private:
    BusLines &lines;
    const Project &project;
    const QVector<ReadPlan> plans;
    ProjectRunner &runner;
    const BusMonitor monitor;
    std::mutex mutex;
    std::condition_variable wake;
    bool stopping = false;
};

#endif // BUSPOLLER_H
