#ifndef HTTPSETTINGS_H
#define HTTPSETTINGS_H

#include <QString>
#include <QVariant>

class QSettings;

// One settings object is shared by the listener and every handler thread.
// QSettings is reentrant, not thread-safe, so all reads of the HTTP layer go
// through this guarded accessor. A null settings object yields the default.
QVariant httpSetting(QSettings *settings, const QString &key, const QVariant &defaultValue = QVariant());
int httpSettingInt(QSettings *settings, const QString &key, int defaultValue);

#endif // HTTPSETTINGS_H
