#include "httpsettings.h"

#include <QMutex>
#include <QMutexLocker>
#include <QSettings>

namespace {
QMutex &settingsMutex()
{
    static QMutex mutex;
    return mutex;
}
}

QVariant httpSetting(QSettings *settings, const QString &key, const QVariant &defaultValue)
{
    if (!settings)
        return defaultValue;
    QMutexLocker locker(&settingsMutex());
    return settings->value(key, defaultValue);
}

int httpSettingInt(QSettings *settings, const QString &key, int defaultValue)
{
    bool ok = false;
    const int value = httpSetting(settings, key, defaultValue).toInt(&ok);
    return ok ? value : defaultValue;
}
