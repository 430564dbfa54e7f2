#include "mqttstatus.h"

#include "jsontext.h"

QByteArray mqttStatusJson(const MqttStatus &status)
{
    QByteArray out("{\"connected\":");
    out += status.connected ? "true" : "false";
    out += ",\"published\":";
    out += QByteArray::number(status.published);
    out += ",\"lastError\":\"";
    out += jsonEscape(status.lastError.toUtf8());
    out += "\"}";
    return out;
}
