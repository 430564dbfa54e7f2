#ifndef MODBUSENGINE_H
#define MODBUSENGINE_H

#include <QObject>
#include <functional>
#include <memory>
#include "config.h"
#include "modbusbackend.h"
#include "modbustypes.h"

enum class ConnectionType : qint16 { Serial = 0, Tcp = 1 };

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

    QList<QextPortInfo> ports();
    ModbusOutcome connectSerial(const SerialLink &link);
    ModbusOutcome connectTcp(const TcpLink &link);
    void disconnectPort();
    // Opens the serial link again as it was last connected.
    bool reopenSerial();

    bool isConnected() const { return connected; }
    ConnectionType getConnectionType() const { return connectionType; }
    bool hasContext() const { return ctx != nullptr; }

    // Reads start with the pause, then need a link; writes need a link, then pause.
    enum class Access { Read, Write };
    ModbusWords read(const TransferRequest &request);
    ModbusOutcome write(const TransferRequest &request);
    ModbusBytes reportSlaveId();
    // What a request refused before the bus answers: it still takes the
    // pause, and a missing link comes first, in the order of its access.
    ModbusError refuse(Access access, ModbusError reason);

    QString libraryErrorText(int errnum);

    // The pause before each read and write (100 ms); tests put a recorder here.
    using Pause = std::function<void(unsigned long ms)>;
    void setPause(Pause pause);

private:
    // The debug lines of a retry after an unexpected result and after a library fault.
    struct RetryLines
    {
        const char *count;
        const char *protocol;
    };
    ModbusError enter(Access access);
    ModbusWords exchange(Access access, const TransferRequest &request);
    // The one place a register request goes to the library: a read fills
    // words, a write sends them. Returns the library's result.
    int toWire(Access access, const TransferRequest &request, QVector<quint16> &words);
    // One transfer with the retry rule. transfer does the library call and
    // returns its result; expected says whether that result is a success;
    // mismatch is the error once an unexpected result has no retry left.
    ModbusOutcome transact(const RetryLines &lines, bool pauseOnRetry, const std::function<int()> &transfer,
                           const std::function<bool(int)> &expected, ModbusError mismatch);
    bool unitAccepted() const;
    bool retryAllowed(unsigned int attempt);
    bool checkTcpHost();
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

    std::unique_ptr<ModbusBackend> ownBackend;
    ModbusBackend *backend = nullptr;
    Pause pause;
};

#endif // MODBUSENGINE_H
