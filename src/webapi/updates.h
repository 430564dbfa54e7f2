#ifndef UPDATES_H
#define UPDATES_H

#include <memory>
#include <mutex>

#include <QByteArray>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QUrl>

#include "tgetarray.h"

class QNetworkReply;
class QSaveFile;
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
    // What config.ini says about updates, read in one place.
    struct Config
    {
        QString documentRoot = QStringLiteral(".");
        QString updateServer = QStringLiteral(".");
        int responseMaxWaitTime = 100000;
        // Idle time after which a job's request is given up (ms, 0: never).
        int transferTimeout = 100000;
        // Largest single file and largest job, in bytes.
        qint64 maxFileSize = 64 * 1024 * 1024;
        qint64 maxJobSize = 256 * 1024 * 1024;
        // Longest a whole job may take (ms, 0: no limit).
        int jobTimeout = 1800000;

        // settings arrives in group "docroot" and is left in group "updates".
        static Config read(QSettings *settings);
    };

    // settings arrives in group "docroot" and is left in group "updates".
    explicit Updates(QSettings *settings, QObject *parent = nullptr);
    ~Updates() override;

    QByteArray check4Updates(t_GetArray &parameters);
    QByteArray startUpdating(t_GetArray &parameters);
    QByteArray getUpdateStatus() const;

    // The longest wait of check4Updates for the server (ms).
    static constexpr int checkTimeout = 20000;
    // Bounds no configuration lifts: a check reply and a file list are
    // small texts, and a job names a handful of modules.
    static constexpr qint64 maxCheckReply = 1024 * 1024;
    static constexpr qint64 maxFileList = 1024 * 1024;
    static constexpr int maxFilesPerJob = 1000;
    // The file that marks the download directory as this program's own.
    static const char *const downloadMarker;

    // Whether a file URL is served by the update server itself: same scheme,
    // host and port.
    static bool sameServer(const QUrl &file, const QUrl &server);
    // The file-list URL of one module, the name encoded as a query value.
    static QUrl fileListUrl(const QString &updateServer, const QString &module);

public slots:
    void fileListDownloadFinished(QNetworkReply *reply);
    void fileDownloadFinished(QNetworkReply *reply);

private slots:
    void beginJob();
    void requestNextModule();
    void jobTimedOut();

private:
    void requestNextFile();
    // Streams what has arrived of the current file to disk; false once the
    // file broke a bound or could not be written (the reply is aborted).
    bool takeFileData(QNetworkReply *reply);
    void takeListData(QNetworkReply *reply);
    // Ends the job; the flag and the job's claim go together.
    void finishJob(const QByteArray &status);
    QNetworkRequest jobRequest(const QUrl &url) const;
    // A fresh download directory with its marker; false when something that
    // is not ours stands in the way (it is left alone) or the disk refuses.
    bool prepareDownloadDirectory();
    // Puts every downloaded module in place, each one whole or not at all.
    bool install();

public:
    // Directory helpers of the installation, also used by the tests.
    static bool copyDirectory(const QString &source, const QString &destination);
    static bool removeDirectory(const QString &path);

private:
    Config config;
    QNetworkAccessManager fileListManager;
    QNetworkAccessManager fileManager;
    QFileInfo documentRoot;
    QFileInfo tempDir;
    QTimer jobTimer;

    // The job's request in flight; replies that are not it are stale.
    QPointer<QNetworkReply> current;
    QByteArray listBody;
    std::unique_ptr<QSaveFile> download;
    enum class Breach { None, Bound, Disk };
    Breach breach = Breach::None;
    qint64 fileBytes = 0;
    qint64 jobBytes = 0;
    int jobFiles = 0;
    int savedFiles = 0;

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
