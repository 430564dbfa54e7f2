#ifndef APPTESTSUPPORT_H
#define APPTESTSUPPORT_H

// Helpers shared by the program-level tests: files, ports, and a run of
// the program in a private copy of the runnable directory.

#include <QByteArray>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTcpServer>
#include <QTemporaryDir>

inline bool writeFile(const QString &path, const QByteArray &contents, bool executable = false)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(contents);
    file.close();
    if (executable)
        file.setPermissions(file.permissions() | QFileDevice::ExeOwner | QFileDevice::ExeUser);
    return true;
}

// A stand-in for an external program: a script at path that writes its
// arguments, one per line, to argsRecord(path). executable false leaves a
// file the system cannot start.
inline QString argsRecord(const QString &program)
{
    return program + QStringLiteral(".args");
}

inline bool writeArgsRecorder(const QString &path, bool executable = true)
{
    return writeFile(path, "#!/bin/sh\nprintf '%s\\n' \"$@\" > \"$0.args.tmp\" && mv \"$0.args.tmp\" \"$0.args\"\n",
                     executable);
}

// What getGeneralInfo answers, byte for byte.
const QByteArray generalInfoReply =
        "{\"ver\":\"0.3.15\",\"canUpdate\":1,\"canAddNewModules\":1,\"canUpdateFirmware\":1,"
        "\"canSendMailReport\":0,\"canAutoUpdateModules\":0, "
        "\"copy\":\"<span>Copyright &copy; 2012-2020 Tavik. All rights reserved.</span><br>"
        "<img src=\\\"images/min_logo.gif\\\" style=\\\"width: 150px; margin-top: 5px;\\\">\", "
        "\"langList\":[\"EN\",\"PL\",\"ESP\",\"DE\",\"IT\",\"FR\"],\"osType\":\"other\"}";

inline QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline quint16 freePort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}

inline bool portIsFree(quint16 port)
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, port);
}

inline bool copyTree(const QString &from, const QString &to)
{
    QDir target;
    if (!target.mkpath(to))
        return false;
    QDirIterator it(from, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString source = it.next();
        const QString destination = to + source.mid(from.size());
        if (it.fileInfo().isDir()) {
            if (!target.mkpath(destination))
                return false;
        } else if (!QFile::copy(source, destination)) {
            return false;
        }
    }
    return true;
}

// One program run in a private copy of the runnable directory. Whatever
// happens in the test, the program is killed and reaped on the way out.
class ProgramRun
{
public:
    ProgramRun()
    {
        ok = dir.isValid() && copyTree(QStringLiteral(BRIO_APP_DIR), appDir());
        QFile::remove(appDir() + QStringLiteral("/config.ini"));
    }
    ~ProgramRun()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(10000);
        }
    }

    QString appDir() const { return dir.filePath(QStringLiteral("app")); }
    QString path(const QString &name) const { return appDir() + QLatin1Char('/') + name; }

    bool writeConfig(const QByteArray &contents) { return writeFile(path(QStringLiteral("config.ini")), contents); }

    void start(const QStringList &arguments, const QStringList &extraEnvironment = QStringList())
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"LANG", "LC_ALL", "LC_MESSAGES", "LANGUAGE"})
            env.remove(QLatin1String(name));
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), dir.filePath(QStringLiteral("xdg")));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        for (const QString &entry : extraEnvironment)
            env.insert(entry.section(QLatin1Char('='), 0, 0), entry.section(QLatin1Char('='), 1));
        process.setProcessEnvironment(env);
        process.setWorkingDirectory(dir.path());
        QObject::connect(&process, &QProcess::readyReadStandardError,
                         [this] { log += process.readAllStandardError(); });
        process.start(path(QStringLiteral("Brio")), arguments);
    }

    // Reads what is left on stderr once the program has ended.
    bool finish()
    {
        const bool done = process.waitForFinished(30000);
        log += process.readAllStandardError();
        return done;
    }

    QTemporaryDir dir;
    QProcess process;
    QByteArray log;
    bool ok = false;
};

#endif // APPTESTSUPPORT_H
