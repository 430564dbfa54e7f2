#ifndef SCANPLAN_H
#define SCANPLAN_H

#include <QByteArray>
#include <QString>
#include <QVector>

// One probe of a bus scan. baud and mode are 0 off a serial line.
struct ScanStep
{
    int unit = 0;
    int baud = 0;
    int mode = 0;
};

enum class ScanLink { Serial, Tcp, RtuOverTcp };

// What a scan probes and in which order: for each baud rate, for each line
// mode, every unit. A line setting is thus opened once and all its units
// are tried before the next, and the units found first are those at the
// first settings asked for.
struct ScanPlan
{
    ScanLink link = ScanLink::Tcp;
    QString port; // serial: the port as the connect call takes it
    QString host; // TCP and RTU over TCP
    int tcpPort = 0;
    QVector<int> units;
    QVector<int> bauds; // rates from the baud table; serial only
    QVector<int> modes; // line-mode indexes; serial only
    int timeoutMs = 100; // per probe
    int probeAddress = 0; // the holding register read

    bool serial() const { return link == ScanLink::Serial; }
    int total() const;
    ScanStep step(int index) const;
};

const int defaultScanTimeoutMs = 100;
// A probe holds the Modbus lock; a longer one would starve every other call.
const int maxScanTimeoutMs = 10000;

// "1-247", "5" or a comma list of both ("1,3,10-12"), each unit within
// lowest..highest. Repeats are dropped, the first place kept. False for
// anything else, an empty list included.
bool parseScanUnits(const QByteArray &text, int lowest, int highest, QVector<int> *units);
// A comma list of baud rates from the baud table ("9600,19200").
bool parseScanBauds(const QByteArray &text, QVector<int> *bauds);
// A comma list of line-mode indexes of the connect call ("0,3").
bool parseScanModes(const QByteArray &text, QVector<int> *modes);
// A plain decimal number within lowest..highest.
bool parseScanNumber(const QByteArray &text, int lowest, int highest, int *value);

#endif // SCANPLAN_H
