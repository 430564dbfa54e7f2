#include "projectrunner.h"

#include <QDateTime>
#include <QMap>
#include <QStringList>
#include <QThread>
#include <algorithm>
#include <chrono>
#include <modbus/modbus.h>

#include "buspoller.h"
#include "csvlogger.h"
#include "tagcodec.h"

ProjectRunner::ProjectRunner(BusLines &lines, const QString &name, const Project &project, const Sinks &sinks)
    : projectName(name), theProject(project), sinks(sinks), readings(project.tags.size()),
      stalePublished(project.tags.size(), false)
{
    if (!theProject.tags.isEmpty()) {
        periodMs = std::min_element(theProject.tags.cbegin(), theProject.tags.cend(),
                                    [](const ProjectTag &a, const ProjectTag &b) { return a.pollMs < b.pollMs; })
                           ->pollMs;
    }
    if (!sinks.logDirectory.isEmpty()) {
        QStringList names;
        for (const ProjectTag &tag : theProject.tags)
            names << tag.name;
        logger = std::make_unique<CsvLogger>(sinks.logDirectory, projectName, names, sinks.keepDays);
    }

    QMap<QString, QVector<ReadPlan>> buses;
    for (const ReadPlan &plan : planReads(theProject))
        buses[BusPoller::busKey(theProject.devices.at(plan.device))].append(plan);
    for (auto it = buses.cbegin(); it != buses.cend(); ++it)
        pollers.push_back(std::make_unique<BusPoller>(lines, theProject, it.value(), *this, sinks.monitor));
    for (const auto &poller : pollers)
        poller->start();
    clock.reset(QThread::create([this] { runCycles(); }));
    clock->start();
}

ProjectRunner::~ProjectRunner()
{
    stop();
}

void ProjectRunner::stop()
{
    for (const auto &poller : pollers)
        poller->requestStop();
    {
        std::lock_guard<std::mutex> locker(clockMutex);
        stopping = true;
    }
    clockWake.notify_all();
    clock->wait();
    for (const auto &poller : pollers)
        poller->wait();
}

QByteArray ProjectRunner::valuesJson() const
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    std::lock_guard<std::mutex> locker(mutex);
    return tagValuesJson(projectName, theProject, readings, now);
}

TagOutcome ProjectRunner::outcomeOf(const ModbusOutcome &outcome, int *exceptionCode)
{
    switch (outcome.error) {
    case ModbusError::None: return TagOutcome::Ok;
    case ModbusError::ProtocolFault: {
        const int code = outcome.libraryErrno - MODBUS_ENOBASE;
        if (code >= MODBUS_EXCEPTION_ILLEGAL_FUNCTION && code <= MODBUS_EXCEPTION_GATEWAY_TARGET) {
            *exceptionCode = code;
            return TagOutcome::Exception;
        }
        return TagOutcome::Timeout; // a garbled reply is no reply
    }
    case ModbusError::NotConnected:
    case ModbusError::PortNotFound:
    case ModbusError::PrinterPort:
    case ModbusError::BaudRate:
    case ModbusError::SerialOpenFailed:
    case ModbusError::TcpConnectFailed:
    case ModbusError::HostUnreachable:
    case ModbusError::InvalidRequest: // no planned read is one
    case ModbusError::UnitRefused: return TagOutcome::NotConnected;
    default: return TagOutcome::Timeout;
    }
}

void ProjectRunner::store(const ReadPlan &plan, const ModbusWords &result, qint64 nowMs)
{
    int exceptionCode = 0;
    const TagOutcome outcome = outcomeOf(result, &exceptionCode);
    QVector<QPair<int, QByteArray>> changed;
    {
        std::lock_guard<std::mutex> locker(mutex);
        for (const PlannedTag &planned : plan.tags) {
            const ProjectTag &tag = theProject.tags.at(planned.tag);
            TagReading &reading = readings[planned.tag];
            reading.outcome = outcome;
            reading.exceptionCode = exceptionCode;
            reading.outcomeTime = nowMs;
            double raw = 0;
            if (outcome == TagOutcome::Ok && decodeTag(tag, result.words, planned.offset, &raw)) {
                reading.hasValue = true;
                reading.value = scaleValue(raw, tag);
                reading.valueTime = nowMs;
            }
            stalePublished[planned.tag] = false;
            if (sinks.tagChanged)
                changed.append({planned.tag, tagValueJson(reading, tag.pollMs, nowMs)});
        }
    }
    for (const auto &entry : changed)
        sinks.tagChanged(theProject.tags.at(entry.first).name, entry.second);
}

void ProjectRunner::cycle(qint64 nowMs)
{
    QVector<QByteArray> cells;
    QVector<QPair<int, QByteArray>> stale;
    QByteArray json;
    {
        std::lock_guard<std::mutex> locker(mutex);
        json = tagValuesJson(projectName, theProject, readings, nowMs);
        cells.reserve(readings.size());
        for (int i = 0; i < readings.size(); ++i) {
            const ProjectTag &tag = theProject.tags.at(i);
            cells.append(tagLogCell(readings.at(i), tag.pollMs, nowMs));
            // A tag whose bus went quiet is told once, not every cycle.
            if (!stalePublished.at(i) && tagQuality(readings.at(i), tag.pollMs, nowMs) == "stale") {
                stalePublished[i] = true;
                stale.append({i, tagValueJson(readings.at(i), tag.pollMs, nowMs)});
            }
        }
    }
    if (logger)
        logger->append(cells);
    if (sinks.tagChanged) {
        for (const auto &entry : stale)
            sinks.tagChanged(theProject.tags.at(entry.first).name, entry.second);
    }
    if (sinks.cycle)
        sinks.cycle(json);
}

void ProjectRunner::runCycles()
{
    using Clock = std::chrono::steady_clock;
    const std::chrono::milliseconds period(periodMs);
    Clock::time_point next = Clock::now() + period;
    for (;;) {
        {
            std::unique_lock<std::mutex> locker(clockMutex);
            if (clockWake.wait_until(locker, next, [this] { return stopping; }))
                return;
        }
        cycle(QDateTime::currentMSecsSinceEpoch());
        next += period;
        const Clock::time_point now = Clock::now();
        if (next < now)
            next = now + period;
    }
}
