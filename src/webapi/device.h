#ifndef DEVICE_H
#define DEVICE_H

#include <QString>

// One device that answered a discovery request.
class Device
{
public:
    Device() = default;
    Device(const QString &name, const QString &ip, int port, const QString &mac, int modbusid)
        : name(name), ip(ip), mac(mac), port(port), modbusid(modbusid)
    {}

    bool operator==(const Device &other) const
    {
        return name == other.name && ip == other.ip && mac == other.mac && port == other.port
                && modbusid == other.modbusid;
    }

    QString name;
    QString ip;
    QString mac;
    int port = 502;
    int modbusid = 1;
};

#endif // DEVICE_H
