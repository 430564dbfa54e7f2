#include "buslines.h"

std::shared_ptr<BusLines::Line> BusLines::line(const QString &key)
{
    std::lock_guard<std::mutex> locker(mutex);
    std::shared_ptr<Line> found = lines.value(key).lock();
    if (found)
        return found;
    // Lines nobody holds any more go, so hosts tried once do not pile up.
    for (auto it = lines.begin(); it != lines.end();)
        it = it.value().expired() ? lines.erase(it) : std::next(it);
    found = std::make_shared<Line>();
    lines.insert(key, found);
    return found;
}

QString BusLines::tcpKey(const QString &host, int port)
{
    return QStringLiteral("tcp:") + host.toLower() + QLatin1Char(':') + QString::number(port);
}

QString BusLines::serialKey(const QByteArray &device)
{
    return QStringLiteral("serial:") + QString::fromLocal8Bit(device);
}
