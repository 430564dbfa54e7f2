#ifndef QEXTSERIALENUMERATOR_H
#define QEXTSERIALENUMERATOR_H

#include <QList>
#include <QString>
#include <QStringList>

struct QextPortInfo
{
    QString portName; // device path handed to the Modbus library
    QString physName;
    QString friendName; // shown to the user
    QString enumName;
    int vendorID = 0;
    int productID = 0;
};

class QextSerialEnumerator
{
public:
    // Serial ports of the machine, then the extra ports (`[modbus] extraPorts`).
    static QList<QextPortInfo> getPorts(const QStringList &extraPorts);
};

#endif // QEXTSERIALENUMERATOR_H
