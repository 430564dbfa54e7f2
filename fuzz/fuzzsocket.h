#ifndef FUZZSOCKET_H
#define FUZZSOCKET_H

#include <QByteArray>
#include <QIODevice>

// A read-only sequential device standing in for a connection's socket: bytes
// handed to feed() become readable the way a TCP socket's do when a packet
// arrives, so a parser sees the same partial lines and short reads.
class FuzzSocket : public QIODevice
{
public:
    FuzzSocket() { open(QIODevice::ReadOnly); }

    void feed(const QByteArray &bytes) { pending += bytes; }
    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override { return QIODevice::bytesAvailable() + pending.size() - offset; }

protected:
    qint64 readData(char *data, qint64 maxSize) override
    {
        const qint64 n = qMin<qint64>(maxSize, pending.size() - offset);
        if (n > 0)
            memcpy(data, pending.constData() + offset, size_t(n));
        offset += int(n);
        if (offset == pending.size()) {
            pending.clear();
            offset = 0;
        }
        return n;
    }
    qint64 writeData(const char *, qint64 size) override { return size; }

private:
    QByteArray pending;
    int offset = 0;
};

#endif // FUZZSOCKET_H
