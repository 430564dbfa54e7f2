#ifndef MQTTSETTINGS_H
#define MQTTSETTINGS_H

#include <QString>

// The broker to publish to, as the [mqtt] group of config.ini gives it.
struct MqttSettings
{
    QString host; // empty: MQTT is off
    quint16 port = 1883;
    bool tls = false;
    QString caFile; // empty with tls: the system's trusted certificates
    QString user; // empty: no credentials
    QString password;
    QString clientId; // empty: brio-<machine name>
    QString topicPrefix; // empty: brio/<machine name>

    // These settings with the empty client id and topic prefix filled in.
    MqttSettings withDefaults() const;
};

#endif // MQTTSETTINGS_H
