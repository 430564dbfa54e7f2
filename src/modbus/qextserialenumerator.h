#ifndef QEXTSERIALENUMERATOR_H
#define QEXTSERIALENUMERATOR_H

#include <QList>
#include <QString>
#include <QStringList>
#include <QVariant>

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
    // Serial ports of the machine, then the extra ports of config.ini beside
    // the executable.
    static QList<QextPortInfo> getPorts();
    // Same, with the extra ports read from the given config.ini.
    static QList<QextPortInfo> getPorts(const QString &configPath);
    // Same, with the extra ports given directly.
    static QList<QextPortInfo> getPorts(const QStringList &extraPorts);

    static QString defaultConfigPath();
    // The `[modbus] extraPorts` entries of a config.ini, in order.
    static QStringList readExtraPorts(const QString &configPath);
    // An INI value read as a comma-separated list, whether QSettings made it
    // a list (a,b) or a single text.
    static QStringList splitPortList(const QVariant &value);
};

#endif // QEXTSERIALENUMERATOR_H
