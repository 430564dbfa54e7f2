#ifndef CHILDPROCESS_H
#define CHILDPROCESS_H

// A peer program started by a test: waits for its ready marker and is always
// stopped through its own handle, whatever the test does.

#include <QByteArray>
#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QString>
#include <QStringList>

class Child
{
public:
    ~Child() { stop(); }

    bool start(const QString &program, const QStringList &args, const QByteArray &marker)
    {
        process.setProgram(program);
        process.setArguments(args);
        process.start();
        if (!process.waitForStarted(10000))
            return false;
        QElapsedTimer clock;
        clock.start();
        while (!output.contains(marker) && clock.elapsed() < 20000) {
            if (process.state() != QProcess::Running)
                return false;
            process.waitForReadyRead(100);
            output += process.readAllStandardOutput();
        }
        return output.contains(marker);
    }
    void stop()
    {
        if (process.state() == QProcess::NotRunning)
            return;
        process.terminate();
        if (!process.waitForFinished(3000)) {
            process.kill();
            process.waitForFinished(3000);
        }
    }
    // The number after the given word in the output, e.g. "port 41234".
    int number(const QString &pattern) const
    {
        const QRegularExpressionMatch m = QRegularExpression(pattern).match(QString::fromLatin1(output));
        return m.hasMatch() ? m.captured(1).toInt() : 0;
    }

    QProcess process;
    QByteArray output;
};

#endif // CHILDPROCESS_H
