#include "httpsettings.h"

#include <QSettings>

#include <mutex>

namespace {
// A pthread-based mutex, so that thread checkers see the ordering.
std::mutex &settingsMutex()
{
    static std::mutex mutex;
    return mutex;
}
} // namespace

QVariant httpSetting(QSettings *settings, const QString &key, const QVariant &defaultValue)
{
    if (!settings)
        return defaultValue;
    std::lock_guard<std::mutex> locker(settingsMutex());
    return settings->value(key, defaultValue);
}

int httpSettingInt(QSettings *settings, const QString &key, int defaultValue)
{
    bool ok = false;
    const int value = httpSetting(settings, key, defaultValue).toInt(&ok);
    return ok ? value : defaultValue;
}
