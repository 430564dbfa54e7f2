#include "modbusconfig.h"

#include <QFileInfo>
#include <QSettings>

namespace {

// A longer pause would hold the router's Modbus lock past its 10 s wait.
const int maxPauseMs = 10000;

} // namespace

ModbusConfig ModbusConfig::fromFile(const QString &configPath)
{
    ModbusConfig config;
    if (configPath.isEmpty() || !QFileInfo::exists(configPath))
        return config;
    const QSettings ini(configPath, QSettings::IniFormat);
    bool ok = false;
    const int pauseMs = ini.value(QStringLiteral("modbus/pauseMs")).toString().trimmed().toInt(&ok);
    if (ok && pauseMs >= 0)
        config.pauseMs = qMin(pauseMs, maxPauseMs);
    const QString keepOpen = ini.value(QStringLiteral("modbus/tcpKeepOpen")).toString().trimmed().toLower();
    if (keepOpen == QLatin1String("true") || keepOpen == QLatin1String("1"))
        config.tcpKeepOpen = true;
    return config;
}
