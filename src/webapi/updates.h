#ifndef UPDATES_H
#define UPDATES_H

#include <memory>
#include <mutex>

#include <QByteArray>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QObject>
#include <QPair>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QUrl>

#include "config.h"
#include "tgetarray.h"

class QNetworkReply;
class QSaveFile;

// The update client: forwards the page's update query to the update server,
// and runs the job that downloads modules file by file into a directory
// beside the document root and then installs them there.
//
// The object lives on a thread of its own, where its HTTP clients and every
// job step run; the calls come from the HTTP handler threads. The flag, the
// status text and the queues are shared between them under stateLock.
class Updates : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(Updates)
public:
    // documentRoot: config.ini's [docroot] path, resolved.
    Updates(const QString &documentRoot, const UpdatesSettings &settings, QObject *parent = nullptr);
    ~Updates() override;

    // Waits for the server's answer, which this object's thread fetches; not
    // to be called on that thread.
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
    void sendChecks();
    void beginJob();
    void requestNextModule();
    void jobTimedOut();

private:
    struct CheckAnswer;
    // Sends the query; the answer is given once the server's reply, an error
    // or the time-out decides it.
    void postCheck(const QByteArray &body, const std::shared_ptr<CheckAnswer> &answer);
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
    const UpdatesSettings config;
    QNetworkAccessManager checkManager;
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
    // Queries handed over by check4Updates, for this object's thread.
    QList<QPair<QByteArray, std::shared_ptr<CheckAnswer>>> checks;
    QStringList moduleQueue;
    QStringList fileQueue;
    int inProgress = 0;
    // A job runs from an accepted startUpdating until it stops; a skipped
    // module clears inProgress while the job goes on.
    bool jobRunning = false;
    QByteArray updateStatus = "{}";
};

#endif // UPDATES_H
