#ifndef UPDATES_H
#define UPDATES_H

#include <mutex>

#include <QByteArray>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QObject>
#include <QString>
#include <QStringList>

#include "tgetarray.h"

class QNetworkReply;
class QSettings;

// The update client: forwards the page's update query to the update server,
// and runs the job that downloads modules file by file into a directory
// beside the document root and then installs them there.
//
// The calls come from the HTTP handler threads; the two HTTP clients and
// every job step live on the thread that built this object. The flag, the
// status text and the queues are shared between them under stateLock.
class Updates : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(Updates)
public:
    // settings arrives in group "docroot" and is left in group "updates".
    explicit Updates(QSettings *settings, QObject *parent = nullptr);
    ~Updates() override;

    QByteArray check4Updates(t_GetArray &parameters);
    QByteArray startUpdating(t_GetArray &parameters);
    QByteArray getUpdateStatus() const;

    // The longest wait of check4Updates for the server (ms).
    static constexpr int checkTimeout = 20000;

public slots:
    void fileListDownloadFinished(QNetworkReply *reply);
    void fileDownloadFinished(QNetworkReply *reply);

private slots:
    void requestNextModule();

private:
    void requestNextFile();
    bool saveDownloadedFile(const QString &relativePath, QNetworkReply *reply);
    // Ends the job; the flag and the job's claim go together.
    void finishJob(const QByteArray &status);
    QNetworkRequest jobRequest(const QUrl &url) const;

public:
    // Directory helpers of the installation, also used by the tests.
    static bool copyDirectory(const QString &source, const QString &destination);
    static bool removeDirectory(const QString &path);

private:
    QString updateServer;
    int responseMaxWaitTime = 100000;
    QNetworkAccessManager fileListManager;
    QNetworkAccessManager fileManager;
    QFileInfo documentRoot;
    QFileInfo tempDir;
    // Idle time after which a job's request is given up (ms, 0: never), so
    // that a stalled server cannot hold the job, and every later one, forever.
    int transferTimeout = 100000;

    mutable std::mutex stateLock;
    QStringList moduleQueue;
    QStringList fileQueue;
    int inProgress = 0;
    // A job runs from an accepted startUpdating until it stops; a skipped
    // module clears inProgress while the job goes on.
    bool jobRunning = false;
    QByteArray updateStatus = "{}";
};

#endif // UPDATES_H
