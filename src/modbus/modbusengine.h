#ifndef MODBUSENGINE_H
#define MODBUSENGINE_H

#include <QObject>
#include <functional>
#include <memory>
#include "busscanner.h"
#include "busstats.h"
#include "modbusbackend.h"
#include "config.h"
#include "modbustypes.h"
#include "trafficlog.h"

enum class ConnectionType : qint16 { Serial = 0, Tcp = 1, RtuOverTcp = 2 };

// The Modbus master: one link at a time, transfers with the retry rule.
// No lock of its own: the router runs one call at a time.
class ModbusEngine : public QObject
{
    Q_OBJECT
public:
    // On libmodbus, listing the given extra ports.
    explicit ModbusEngine(const ModbusSettings &settings = ModbusSettings(), QObject *parent = nullptr);
    // Uses the given access layer, which must outlive the engine.
    explicit ModbusEngine(ModbusBackend *backend, QObject *parent = nullptr);
    ~ModbusEngine() override;

    void setConfig(const ModbusSettings &config);

    QList<QextPortInfo> ports();
    ModbusOutcome connectSerial(const SerialLink &link);
    ModbusOutcome connectTcp(const TcpLink &link);
    // RTU frames over a TCP stream, kept open; timeout bounds the connect and each reply.
    ModbusOutcome connectRtuOverTcp(const TcpLink &link);
    void disconnectPort();
    // Opens the serial link again as it was last connected.
    bool reopenSerial();

    bool isConnected() const { return connected; }
    ConnectionType getConnectionType() const { return connectionType; }
    bool hasContext() const { return ctx != nullptr; }

    // Reads start with the pause, then need a link; writes need a link, then
    // pause; identification needs a link and does not pause.
    enum class Access { Read, Write, Identify };
    // Any table; coils and discrete inputs give one word, 0 or 1, a bit.
    ModbusWords read(const TransferRequest &request);
    // Holding registers or coils.
    ModbusOutcome write(const TransferRequest &request);
    ModbusOutcome maskWrite(int address, quint16 andMask, quint16 orMask);
    ModbusBytes reportSlaveId();
    // Category 1 (basic), 2 (regular) or 3 (extended), from object 0 on.
    ModbusDeviceId readDeviceIdentification(int category);
    // What a request refused before the bus answers: it still takes the
    // pause, and a missing link comes first, in the order of its access.
    ModbusError refuse(Access access, ModbusError reason);

    QString libraryErrorText(int errnum);

    // Every frame on the bus and the counters of its requests; safe from any thread.
    TrafficLog &traffic() { return trafficLog; }
    BusStats &stats() { return busStats; }

    // A bus scan borrows the bus: beginScan puts the link in place aside,
    // probe reads one holding register of the step's unit on the plan's
    // line (opening it when the step's line settings differ from the last),
    // endScan closes the scan's line and restores the link as it was.
    void beginScan(const ScanPlan &plan);
    ProbeAnswer probe(const ScanStep &step);
    void endScan();

    // The pause before each read and write; tests put a recorder here.
    using Pause = std::function<void(unsigned long ms)>;
    void setPause(Pause pause);

private:
    // The debug lines of a retry after an unexpected result and after a library fault.
    struct RetryLines
    {
        const char *count;
        const char *protocol;
    };
    // The requests of one call. send(i) makes request i and returns the
    // library's result, accepted(i, rc) says whether that is a success; the
    // call ends after count requests, or sooner once last(i) says so.
    struct Requests
    {
        int count;
        std::function<int(int)> send;
        std::function<bool(int, int)> accepted;
        std::function<bool(int)> last;
    };
    // Registers (or bits) from first on, relative to the request's address.
    struct Run
    {
        int first;
        int count;
    };
    ModbusError enter(Access access);
    void pauseBeforeTransfer();
    // The 3.5-character silence between frames on the current serial line, in whole ms.
    unsigned long lineSilenceMs() const;
    QVector<Run> runs(const TransferRequest &request, bool writing) const;
    ModbusWords transfer(Access access, const TransferRequest &request);
    // The one place a register or bit request goes to the library: a read
    // fills words, a write sends them. Returns the library's result.
    int toWire(Access access, const TransferRequest &request, const Run &run, QVector<quint16> &words);
    // One call with the retry rule, each request under it: a retry (after
    // the pause, on TCP after a fresh probe) resumes at the request that
    // failed; mismatch is the error once an unexpected result has no retry left.
    ModbusOutcome transact(const RetryLines &lines, bool pauseOnRetry, const Requests &requests, ModbusError mismatch);
    bool unitAccepted() const;
    bool retryAllowed(unsigned int attempt);
    // The TCP link for one try: kept open, or probed and connected afresh.
    bool openTcp(bool *reused);
    void closeTcp();
    bool checkTcpHost();
    bool overTcp() const { return connectionType != ConnectionType::Serial; }
    bool keepTcpOpen() const { return config.tcpKeepOpen || connectionType == ConnectionType::RtuOverTcp; }
    ModbusOutcome connectOverTcp(const TcpLink &link, ConnectionType type);
    // A context for the plan's link, its reply time-out the probe's; false when it does not open.
    bool openScanLink(const ScanStep &step);
    void releaseContext();
    // An exact name, else the first that contains it; false for none or an empty name.
    bool findPort(const QString &wanted, QString *portName);
    // Replaces the context by an RTU one on portName; true when it connected.
    bool openRtu(const QString &portName, const SerialLink &link);
    void applySerialTimeout(int timeout);
    bool reconnectSerial();

    ModbusHandle ctx = nullptr;
    bool connected = false;
    ConnectionType connectionType = ConnectionType::Serial;
    SerialLink serial; // the last serial link connected
    TcpLink tcp; // the last TCP link asked for
    int unit = 0; // the unit of the link in ctx
    bool tcpOpen = false; // the library holds a TCP connection

    // What a scan put aside, and the line settings its context is open with.
    struct SavedLink
    {
        bool connected = false;
        ConnectionType type = ConnectionType::Serial;
        SerialLink serial;
        TcpLink tcp;
        int unit = 0;
    };
    SavedLink saved;
    ScanPlan scanPlan;
    int scanBaud = 0;
    int scanMode = -1;

    TrafficLog trafficLog;
    BusStats busStats;
    std::unique_ptr<ModbusBackend> ownBackend;
    ModbusBackend *backend = nullptr;
    ModbusSettings config;
    Pause pause;
};

#endif // MODBUSENGINE_H
