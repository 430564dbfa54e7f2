#include "updates.h"

#include <QDebug>
#include <QDir>
#include <QEventLoop>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSaveFile>
#include <QSettings>
#include <QTimer>
#include <QUrl>

#include <memory>

#include "modulesmngr.h"
#include "updatejson.h"

namespace {

const QByteArray parameterError = "{\"error\":\"Parameter error!\"}";
const QByteArray unreachable = "{\"error\":\"Unable to connect with server!\"}";
const QByteArray diskError = "{\"error\":\"Unable to write to disk!\"}";
const QByteArray replyError = "{\"error\":\"Reply error!\"}";
const QByteArray completed = "{\"ok\":\"Completed correctly.\"}";
const QByteArray busy = "{\"error\":\"Update in progress\"}";

// Replaces destination as a whole or not at all, so that a failed copy
// leaves the installed file as it was instead of half of the new one.
bool replaceFile(const QString &source, const QString &destination)
{
    QFile in(source);
    QSaveFile out(destination);
    if (!in.open(QIODevice::ReadOnly) || !out.open(QIODevice::WriteOnly))
        return false;
    while (!in.atEnd()) {
        const QByteArray chunk = in.read(64 * 1024);
        if (chunk.isEmpty() || out.write(chunk) != chunk.size())
            return false;
    }
    return out.commit();
}

} // namespace

Updates::Updates(QSettings *settings, QObject *parent) : QObject(parent), fileListManager(this), fileManager(this)
{
    const QString path =
            settings ? settings->value(QStringLiteral("path"), QStringLiteral(".")).toString() : QStringLiteral(".");
    documentRoot = QFileInfo(documentRootPath(path));
    tempDir = QFileInfo(QDir::cleanPath(documentRoot.absoluteFilePath() + QStringLiteral("/../tmp")));
    if (settings) {
        if (!settings->group().isEmpty())
            settings->endGroup();
        settings->beginGroup(QStringLiteral("updates"));
        updateServer = settings->value(QStringLiteral("updateServer"), QStringLiteral(".")).toString();
        responseMaxWaitTime = settings->value(QStringLiteral("responseMaxWaitTime"), 100000).toInt();
        transferTimeout = settings->value(QStringLiteral("transferTimeout"), 100000).toInt();
    } else {
        updateServer = QStringLiteral(".");
    }
    connect(&fileListManager, &QNetworkAccessManager::finished, this, &Updates::fileListDownloadFinished);
    connect(&fileManager, &QNetworkAccessManager::finished, this, &Updates::fileDownloadFinished);
}

Updates::~Updates()
{
    // The clients outlive the state their slots use; a reply finished while
    // they are torn down must not reach it.
    fileListManager.disconnect(this);
    fileManager.disconnect(this);
}

QByteArray Updates::check4Updates(t_GetArray &parameters)
{
    if (!parameters.contains("json"))
        return parameterError;
    // The parser has decoded the value already; it goes out as it is.
    const QByteArray body = "json=" + parameters.value("json");

    // Runs on the handler thread, so the client is this call's own.
    QNetworkAccessManager manager;
    QNetworkRequest request(QUrl(updateServer, QUrl::TolerantMode));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/x-www-form-urlencoded"));
    std::unique_ptr<QNetworkReply> reply(manager.post(request, body));

    QTimer timer;
    timer.setSingleShot(true);
    // A coarse timer may fire 5 % early.
    timer.setTimerType(Qt::PreciseTimer);
    QEventLoop loop;
    connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    connect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
    timer.start(checkTimeout);
    if (!reply->isFinished())
        loop.exec();

    if (!timer.isActive()) {
        disconnect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
        reply->abort();
        return unreachable;
    }
    timer.stop();
    if (reply->error() != QNetworkReply::NoError) {
        qDebug("error no: %d", int(reply->error()));
        return unreachable;
    }
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status < 200 || status > 299)
        return unreachable;
    return reply->readAll();
}

QByteArray Updates::startUpdating(t_GetArray &parameters)
{
    if (!parameters.contains("modulesList"))
        return parameterError;
    bool isArray = false;
    const QStringList modules = updatejson::modulesList(parameters.value("modulesList"), &isArray);

    std::unique_lock<std::mutex> locker(stateLock);
    // Clearing the queues and the download directory under a running job
    // would mix two jobs' files and install a half-downloaded set.
    if (jobRunning)
        return busy;
    inProgress = 0;
    if (!isArray || modules.isEmpty())
        return parameterError;
    moduleQueue = modules;
    // A list left over from a job that stopped must not be fetched again.
    fileQueue.clear();
    jobRunning = true;
    locker.unlock();

    if (!removeDirectory(tempDir.absoluteFilePath())) {
        locker.lock();
        jobRunning = false;
        return diskError;
    }
    locker.lock();
    inProgress = 1;
    locker.unlock();
    // The HTTP clients belong to this object's thread; the job starts there.
    QMetaObject::invokeMethod(this, &Updates::requestNextModule, Qt::QueuedConnection);
    return "{\"ok\":\"Update started\"}";
}

QByteArray Updates::getUpdateStatus() const
{
    std::unique_lock<std::mutex> locker(stateLock);
    return inProgress == 1 ? QByteArray("{\"ok\":\"In progress\"}") : updateStatus;
}

void Updates::finishJob(const QByteArray &status)
{
    std::unique_lock<std::mutex> locker(stateLock);
    updateStatus = status;
    inProgress = 0;
    jobRunning = false;
}

QNetworkRequest Updates::jobRequest(const QUrl &url) const
{
    QNetworkRequest request(url);
    if (transferTimeout > 0)
        request.setTransferTimeout(transferTimeout);
    return request;
}

void Updates::requestNextModule()
{
    std::unique_lock<std::mutex> locker(stateLock);
    if (!jobRunning)
        return;
    if (moduleQueue.isEmpty()) {
        locker.unlock();
        // Installed only now that every file has arrived.
        const bool installed = copyDirectory(tempDir.absoluteFilePath(), documentRoot.absoluteFilePath());
        if (installed)
            removeDirectory(tempDir.absoluteFilePath());
        finishJob(installed ? completed : diskError);
        return;
    }
    const QString module = moduleQueue.first();
    locker.unlock();

    QString base = updateServer;
    if (!base.endsWith(QLatin1Char('/')))
        base += QLatin1Char('/');
    fileListManager.get(jobRequest(QUrl(base + QStringLiteral("fileList?moduleName=") + module, QUrl::TolerantMode)));
}

void Updates::fileListDownloadFinished(QNetworkReply *reply)
{
    reply->deleteLater();
    {
        std::unique_lock<std::mutex> locker(stateLock);
        if (!jobRunning)
            return;
    }
    if (reply->error() != QNetworkReply::NoError) {
        finishJob("{\"error\":\"Reply error!\",\"errorNo\":" + QByteArray::number(int(reply->error())) + '}');
        return;
    }
    bool isArray = false;
    const QStringList files = updatejson::fileList(reply->readAll(), &isArray);
    {
        std::unique_lock<std::mutex> locker(stateLock);
        if (isArray) {
            fileQueue = files;
        } else {
            // The module is skipped; the job goes on with the next one.
            updateStatus = replyError;
            inProgress = 0;
        }
    }
    requestNextFile();
}

void Updates::requestNextFile()
{
    std::unique_lock<std::mutex> locker(stateLock);
    if (fileQueue.isEmpty()) {
        if (!moduleQueue.isEmpty())
            moduleQueue.removeFirst();
        locker.unlock();
        requestNextModule();
        return;
    }
    const QUrl url(fileQueue.first(), QUrl::TolerantMode);
    locker.unlock();
    // A file without a safe place is not worth fetching.
    if (updatejson::relativeDownloadPath(url.toString()).isEmpty()) {
        finishJob(replyError);
        return;
    }
    fileManager.get(jobRequest(url));
}

void Updates::fileDownloadFinished(QNetworkReply *reply)
{
    reply->deleteLater();
    {
        std::unique_lock<std::mutex> locker(stateLock);
        if (!jobRunning)
            return;
    }
    // An unfollowed redirect carries no error, but its body is no file.
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (reply->error() != QNetworkReply::NoError || status < 200 || status > 299) {
        finishJob(replyError);
        return;
    }
    const QString relativePath = updatejson::relativeDownloadPath(reply->url().toString());
    if (relativePath.isEmpty()) {
        finishJob(replyError);
        return;
    }
    if (!saveDownloadedFile(relativePath, reply))
        return;
    {
        std::unique_lock<std::mutex> locker(stateLock);
        if (!fileQueue.isEmpty())
            fileQueue.removeFirst();
    }
    requestNextFile();
}

bool Updates::saveDownloadedFile(const QString &relativePath, QNetworkReply *reply)
{
    const QString base = tempDir.absoluteFilePath();
    const QString target =
            base + (relativePath.startsWith(QLatin1Char('/')) ? QString() : QStringLiteral("/")) + relativePath;
    // The path was checked piece by piece; this is the last word on it.
    if (!QDir::cleanPath(target).startsWith(QDir::cleanPath(base) + QLatin1Char('/'))) {
        finishJob(replyError);
        return false;
    }
    if (!QDir().mkpath(QFileInfo(target).absolutePath())) {
        finishJob(diskError);
        return false;
    }
    QSaveFile file(target);
    if (!file.open(QIODevice::WriteOnly)) {
        finishJob(diskError);
        return false;
    }
    const QByteArray body = reply->readAll();
    if (file.write(body) != body.size() || !file.commit()) {
        finishJob(diskError);
        return false;
    }
    return true;
}

bool Updates::copyDirectory(const QString &source, const QString &destination)
{
    const QDir from(source);
    if (!from.exists())
        return false;
    if (!QDir(destination).exists() && !QDir().mkdir(destination))
        return false;
    const QDir to(destination);
    for (const QString &name : from.entryList(QDir::Files, QDir::Unsorted)) {
        if (!replaceFile(from.filePath(name), to.filePath(name)))
            return false;
    }
    for (const QString &name : from.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Unsorted)) {
        if (!copyDirectory(from.filePath(name), to.filePath(name)))
            return false;
    }
    return true;
}

bool Updates::removeDirectory(const QString &path)
{
    const QDir dir(path);
    if (!dir.exists())
        return true;
    const QFileInfoList entries =
            dir.entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System, QDir::DirsFirst);
    for (const QFileInfo &entry : entries) {
        // A link is removed itself; following it would empty a directory
        // somewhere else.
        const bool removed = entry.isDir() && !entry.isSymLink() ? removeDirectory(entry.absoluteFilePath())
                                                                 : QFile::remove(entry.absoluteFilePath());
        if (!removed)
            return false;
    }
    return QDir().rmdir(path);
}
