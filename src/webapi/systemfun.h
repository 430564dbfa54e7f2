#ifndef SYSTEMFUN_H
#define SYSTEMFUN_H

#include <QByteArray>
#include <QMap>
#include <QObject>
#include <QStringList>

// Small services of the web interface: installation facts, the firmware
// updater's command line and HTML to PDF rendering.
class SystemFun : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(SystemFun)
public:
    explicit SystemFun(QObject *parent = nullptr);

    QByteArray getGeneralInfo() const;

    // Arguments for the firmware updater, from the serial settings the Modbus
    // engine stored last: port, baud code, mode code, slave id, device id.
    QStringList firmwareUpdaterArguments() const;

    // Pure part of the above, so it can be checked without a settings store.
    QStringList firmwareUpdaterArguments(int selectedPort, int baudRateIndex, int mode, int slaveId, int tavikId) const;

    QByteArray createAndRetPdf(const QString &html) const;

private:
    QMap<int, int> baudRateCodes;
};

#endif // SYSTEMFUN_H
