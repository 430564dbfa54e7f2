#ifndef MQTTSTATUS_H
#define MQTTSTATUS_H

#include <QByteArray>
#include <QString>

// What getMqttStatus reports.
struct MqttStatus
{
    bool connected = false;
    quint64 published = 0; // messages the broker acknowledged
    QString lastError; // why the last connection failed or ended; empty once connected again
};

// {"connected":true,"published":N,"lastError":""}
QByteArray mqttStatusJson(const MqttStatus &status);

#endif // MQTTSTATUS_H
