#include "qextserialenumerator.h"

#include <QFileInfo>
#include <QSerialPortInfo>
#include <algorithm>

QList<QextPortInfo> QextSerialEnumerator::getPorts(const QStringList &extraPorts)
{
    QList<QSerialPortInfo> found = QSerialPortInfo::availablePorts();
    // The system lists ports in no fixed order; callers index them.
    std::sort(found.begin(), found.end(), [](const QSerialPortInfo &a, const QSerialPortInfo &b) {
        return a.systemLocation() < b.systemLocation();
    });

    QList<QextPortInfo> ports;
    for (const QSerialPortInfo &info : qAsConst(found)) {
        QextPortInfo port;
        port.portName = info.systemLocation();
        port.physName = info.systemLocation();
        const QString description = info.description().isEmpty() ? QStringLiteral("Serial port") : info.description();
        port.friendName = description + QStringLiteral(" (") + info.portName() + QLatin1Char(')');
        port.enumName = info.manufacturer();
        port.vendorID = info.hasVendorIdentifier() ? info.vendorIdentifier() : 0;
        port.productID = info.hasProductIdentifier() ? info.productIdentifier() : 0;
        ports.append(port);
    }
    for (const QString &path : extraPorts) {
        QextPortInfo port;
        port.portName = path;
        port.physName = path;
        port.friendName = QStringLiteral("Virtual port (") + QFileInfo(path).fileName() + QLatin1Char(')');
        ports.append(port);
    }
    return ports;
}
