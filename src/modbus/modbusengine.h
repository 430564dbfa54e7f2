#ifndef MODBUSENGINE_H
#define MODBUSENGINE_H

#include <QObject>
#include <QByteArray>
#include <QMap>
#include <functional>
#include <memory>
#include "tgetarray.h"
#include "modbusbackend.h"

enum class ConnectionType : qint16 { Serial = 0, Tcp = 1 };

// The Modbus master. No lock of its own: the router runs one call at a time.
class ModbusEngine : public QObject
{
    Q_OBJECT
public:
    explicit ModbusEngine(QObject *parent = nullptr);
    // Uses the given access layer, which must outlive the engine.
    explicit ModbusEngine(ModbusBackend *backend, QObject *parent = nullptr);
    ~ModbusEngine() override;

    QByteArray getPortSettings();
    QByteArray connectPort(t_GetArray &params);
    QByteArray disconnectPort();
    QByteArray readRegisters(t_GetArray &params, unsigned int attempt);
    QByteArray writeRegisters(t_GetArray &params, unsigned int attempt);
    QByteArray identifySlave(unsigned int attempt);

    QByteArray connectSerial(t_GetArray &params);
    QByteArray connectWitchTCP(t_GetArray &params);
    bool reconnectPort_serial();
    bool reopenSerial();
    bool checkTcpHost();

    bool isConnected() const { return connected; }
    ConnectionType getConnectionType() const { return connectionType; }
    bool hasContext() const { return ctx != nullptr; }

    // The pause before each read and write (100 ms); tests put a recorder here.
    using Pause = std::function<void(unsigned long ms)>;
    void setPause(Pause pause);

private:
    // Debug lines of a retry after an unexpected count and after a library fault.
    struct RetryLines
    {
        const char *count;
        const char *protocol;
    };
    // What one kind of transaction brings to the shared routine.
    struct Transaction
    {
        RetryLines lines;
        QByteArray mismatchReply; // the count was wrong and no retry is left
        std::function<int()> transfer; // the library call; returns its result
        std::function<bool(int)> expected;
        std::function<QByteArray()> retry; // the same operation, next attempt
    };
    // The stored unit address, the TCP probe, the unit, the transfer, the TCP
    // close, then the retry rule, in that order. True when the transfer gave
    // the expected result; otherwise reply holds the answer.
    bool transact(unsigned int attempt, const Transaction &transaction, QByteArray *reply);
    // Reads and writes: the register count asked for must come back.
    bool transactRegisters(unsigned int attempt, const RetryLines &lines, int count,
                           const std::function<int()> &transfer, const std::function<QByteArray()> &retry,
                           QByteArray *reply);
    // A register transfer as the request describes it.
    struct Transfer
    {
        int regAddr = 0;
        int valuesCnt = 0;
        QString regType;
        int regSize = 16;
        int valSize = 16;
        int floatPrec = 2;
        int count = 0;
    };
    // The checks reads and writes share, in their order; an empty reply means the request is sound.
    QByteArray checkTransfer(const t_GetArray &params, bool reading, Transfer *transfer) const;
    bool unitAccepted(int slaveID) const;
    bool retryAllowed(unsigned int attempt);
    bool isNoReplyError(int errnum) const;
    QByteArray protocolError(int errnum);
    QByteArray errorReply(const char *key) const;
    void releaseContext();
    // The first enumerated port whose name holds wanted; false when there is none.
    bool findPort(const QString &wanted, QString *portName);
    // Replaces the context by an RTU one on portName; true when it connected.
    bool openSerial(const QString &portName, int baud, int mode);
    void applySerialTimeout(int timeout);

    ModbusHandle ctx = nullptr;
    bool connected = false;
    ConnectionType connectionType = ConnectionType::Serial;
    QMap<QByteArray, QByteArray> errorReplies;

    std::unique_ptr<ModbusBackend> ownBackend;
    ModbusBackend *backend = nullptr;
    Pause pause;
};

#endif // MODBUSENGINE_H
