#ifndef MODBUSENGINE_H
#define MODBUSENGINE_H

#include <QObject>
#include <QByteArray>
#include <QMap>
#include <functional>
#include <memory>
#include "tgetarray.h"
#include "modbusbackend.h"

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
    qint16 getConnectionType() const { return connectionType; }
    bool hasContext() const { return ctx != nullptr; }

private:
    // Debug lines of a retry after a short count and after a library fault.
    struct RetryLines
    {
        const char *count;
        const char *protocol;
    };
    // The retry rule for a try whose result rc was not the expected one.
    QByteArray failedTry(int rc, int errnum, unsigned int attempt, const RetryLines &lines,
                         const QByteArray &mismatchReply, const std::function<QByteArray()> &retry);
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
    bool retryAllowed(unsigned int attempt);
    bool isNoReplyError(int errnum) const;
    QByteArray protocolError(int errnum);
    QByteArray errorReply(const char *key) const;
    void releaseContext();
    void applySerialTimeout(int timeout);

    ModbusHandle ctx = nullptr;
    bool connected = false;
    qint16 connectionType = 0;
    QMap<QByteArray, QByteArray> errorReplies;

    std::unique_ptr<ModbusBackend> ownBackend;
    ModbusBackend *backend = nullptr;
};

#endif // MODBUSENGINE_H
