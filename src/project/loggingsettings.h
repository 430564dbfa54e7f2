#ifndef LOGGINGSETTINGS_H
#define LOGGINGSETTINGS_H

#include <QString>

// Where a running project's CSV rows go, as the [logging] group of
// config.ini gives it.
struct LoggingSettings
{
    QString directory; // empty: the per-user data directory's logs/
    int keepDays = 30; // 0 or below keeps every file
};

#endif // LOGGINGSETTINGS_H
