#include "mqttsettings.h"

#include <QSysInfo>

MqttSettings MqttSettings::withDefaults() const
{
    MqttSettings resolved = *this;
    const QString machine = QSysInfo::machineHostName();
    if (resolved.clientId.isEmpty())
        resolved.clientId = QStringLiteral("brio-") + machine;
    if (resolved.topicPrefix.isEmpty())
        resolved.topicPrefix = QStringLiteral("brio/") + machine;
    return resolved;
}
