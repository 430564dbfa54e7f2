#ifndef MODBUSCONFIG_H
#define MODBUSCONFIG_H

#include <QString>

// What the master takes from config.ini's [modbus] group.
struct ModbusConfig
{
    int pauseMs = 100; // before every transfer; on RTU at least the line's 3.5-character silence
    bool tcpKeepOpen = false; // the TCP connection stays open between transfers

    // Absent or unreadable keys keep their defaults.
    static ModbusConfig fromFile(const QString &configPath);
};

#endif // MODBUSCONFIG_H
