#include "updates.h"

#include <QDebug>
#include <QDir>
#include <QEventLoop>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSaveFile>
#include <QSettings>
#include <QUrlQuery>

#include <climits>
#include <memory>

#include "modulesmngr.h"
#include "platformfiles.h"
#include "updatejson.h"

const char *const Updates::downloadMarker = ".brio-download";

namespace {

const QByteArray parameterError = "{\"error\":\"Parameter error!\"}";
const QByteArray unreachable = "{\"error\":\"Unable to connect with server!\"}";
const QByteArray diskError = "{\"error\":\"Unable to write to disk!\"}";
const QByteArray replyError = "{\"error\":\"Reply error!\"}";
const QByteArray completed = "{\"ok\":\"Completed correctly.\"}";
const QByteArray busy = "{\"error\":\"Update in progress\"}";

// What Qt may hold of a reply before it waits for us to read.
constexpr qint64 readBuffer = 256 * 1024;

bool isSuccess(const QNetworkReply *reply)
{
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    return reply->error() == QNetworkReply::NoError && status >= 200 && status <= 299;
}

// Replaces destination as a whole or not at all, so that a failed copy
// leaves the installed file as it was instead of half of the new one.
bool replaceFile(const QString &source, const QString &destination)
{
    if (QFileInfo(destination).isSymLink() && !QFile::remove(destination))
        return false;
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

// A copy of an installed module, hidden files and links as they are, to be
// merged with the new files before it takes the module's place.
bool copyWhole(const QString &source, const QString &destination)
{
    if (!QDir().mkdir(destination))
        return false;
    const QFileInfoList entries = QDir(source).entryInfoList(
            QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System, QDir::Unsorted);
    for (const QFileInfo &entry : entries) {
        const QString target = destination + QLatin1Char('/') + entry.fileName();
        bool ok = false;
        if (entry.isSymLink())
            ok = QFile::link(entry.symLinkTarget(), target);
        else if (entry.isDir())
            ok = copyWhole(entry.absoluteFilePath(), target);
        else
            ok = QFile::copy(entry.absoluteFilePath(), target);
        if (!ok)
            return false;
    }
    return true;
}

// One module (or file) of the download put in place: the new module is
// built complete in the download directory, then the old one is renamed
// aside and the new one renamed in. Any failure leaves the old one as it was.
bool installUnit(const QString &downloaded, const QString &installed, const QString &stage, const QString &aside)
{
    const QFileInfo source(downloaded);
    if (!source.isDir())
        return QDir().mkpath(QFileInfo(installed).absolutePath()) && replaceFile(downloaded, installed);

    const QFileInfo target(installed);
    if ((target.exists() || target.isSymLink()) && !PlatformFiles::isPlainDirectory(installed))
        return false;
    if (!QDir().mkpath(QFileInfo(stage).absolutePath()) || !PlatformFiles::removeTree(stage))
        return false;
    const bool staged = target.exists() ? copyWhole(installed, stage) : QDir().mkdir(stage);
    if (!staged || !Updates::copyDirectory(downloaded, stage))
        return false;

    if (!QDir().mkpath(target.absolutePath()))
        return false;
    if (!target.exists())
        return QDir().rename(stage, installed);
    if (!QDir().mkpath(QFileInfo(aside).absolutePath()) || !PlatformFiles::removeTree(aside)
        || !QDir().rename(installed, aside))
        return false;
    if (QDir().rename(stage, installed))
        return true;
    QDir().rename(aside, installed);
    return false;
}

} // namespace

Updates::Config Updates::Config::read(QSettings *settings)
{
    Config config;
    if (!settings)
        return config;
    config.documentRoot = settings->value(QStringLiteral("path"), config.documentRoot).toString();
    if (!settings->group().isEmpty())
        settings->endGroup();
    settings->beginGroup(QStringLiteral("updates"));
    config.updateServer = settings->value(QStringLiteral("updateServer"), config.updateServer).toString();
    config.responseMaxWaitTime =
            settings->value(QStringLiteral("responseMaxWaitTime"), config.responseMaxWaitTime).toInt();
    config.transferTimeout = settings->value(QStringLiteral("transferTimeout"), config.transferTimeout).toInt();
    // A value that is no number, or not above zero, keeps the default bound.
    const auto positive = [settings](const char *key, qint64 fallback) {
        bool ok = false;
        const qint64 value = settings->value(QLatin1String(key)).toLongLong(&ok);
        return ok && value > 0 ? value : fallback;
    };
    config.maxFileSize = positive("maxFileSize", config.maxFileSize);
    config.maxJobSize = positive("maxJobSize", config.maxJobSize);
    config.jobTimeout = int(qMin<qint64>(positive("jobTimeout", config.jobTimeout), INT_MAX));
    return config;
}

Updates::Updates(QSettings *settings, QObject *parent)
    : QObject(parent), config(Config::read(settings)), fileListManager(this), fileManager(this), jobTimer(this)
{
    documentRoot = QFileInfo(documentRootPath(config.documentRoot));
    tempDir = QFileInfo(QDir::cleanPath(documentRoot.absoluteFilePath() + QStringLiteral("/../tmp")));
    jobTimer.setSingleShot(true);
    connect(&jobTimer, &QTimer::timeout, this, &Updates::jobTimedOut);
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

bool Updates::sameServer(const QUrl &file, const QUrl &server)
{
    if (!file.isValid() || !server.isValid() || file.host().isEmpty())
        return false;
    const QString scheme = server.scheme().toLower();
    const int defaultPort = scheme == QLatin1String("https") ? 443 : scheme == QLatin1String("http") ? 80 : -1;
    return file.scheme().toLower() == scheme && file.host() == server.host()
            && file.port(defaultPort) == server.port(defaultPort);
}

QUrl Updates::fileListUrl(const QString &updateServer, const QString &module)
{
    QString base = updateServer;
    if (!base.endsWith(QLatin1Char('/')))
        base += QLatin1Char('/');
    QUrl url(base + QStringLiteral("fileList"), QUrl::TolerantMode);
    // Encoded in full, so that "&", "=", "+" or "%" stay part of the name.
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("moduleName"), QString::fromLatin1(QUrl::toPercentEncoding(module)));
    url.setQuery(query);
    return url;
}

QByteArray Updates::check4Updates(t_GetArray &parameters)
{
    if (!parameters.contains("json"))
        return parameterError;
    // The parser has decoded the value already; it goes out as it is.
    const QByteArray body = "json=" + parameters.value("json");

    // Runs on the handler thread, so the client is this call's own.
    QNetworkAccessManager manager;
    QNetworkRequest request(QUrl(config.updateServer, QUrl::TolerantMode));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/x-www-form-urlencoded"));
    std::unique_ptr<QNetworkReply> reply(manager.post(request, body));
    reply->setReadBufferSize(readBuffer);

    QTimer timer;
    timer.setSingleShot(true);
    // A coarse timer may fire 5 % early.
    timer.setTimerType(Qt::PreciseTimer);
    QEventLoop loop;
    // The answer is taken as it arrives, and no further than the bound.
    QByteArray answer;
    bool tooLarge = false;
    const auto take = [&] {
        answer += reply->readAll();
        if (answer.size() > maxCheckReply) {
            tooLarge = true;
            answer.clear();
            loop.quit();
        }
    };
    connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    connect(reply.get(), &QNetworkReply::readyRead, &loop, take);
    connect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
    timer.start(checkTimeout);
    if (!reply->isFinished())
        loop.exec();
    disconnect(reply.get(), nullptr, &loop, nullptr);

    if (!timer.isActive() || tooLarge) {
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
    take();
    return tooLarge ? unreachable : answer;
}

bool Updates::prepareDownloadDirectory()
{
    const QString path = tempDir.absoluteFilePath();
    const QFileInfo found(path);
    if (found.exists() || found.isSymLink()) {
        // Only a directory this program made, known by its marker, is
        // removed; anything else there belongs to someone else.
        const QFileInfo marker(path + QLatin1Char('/') + QLatin1String(downloadMarker));
        if (!PlatformFiles::isPlainDirectory(path) || marker.isSymLink() || !marker.isFile())
            return false;
        if (!PlatformFiles::removeTree(path))
            return false;
    }
    if (!QDir().mkdir(path))
        return false;
    QFile marker(path + QLatin1Char('/') + QLatin1String(downloadMarker));
    return marker.open(QIODevice::WriteOnly | QIODevice::NewOnly)
            && marker.write("Brio downloads modules here; it deletes this directory when it likes.\n") > 0;
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

    if (!prepareDownloadDirectory()) {
        locker.lock();
        jobRunning = false;
        updateStatus = diskError;
        return diskError;
    }
    locker.lock();
    inProgress = 1;
    locker.unlock();
    // The HTTP clients belong to this object's thread; the job starts there.
    QMetaObject::invokeMethod(this, &Updates::beginJob, Qt::QueuedConnection);
    return "{\"ok\":\"Update started\"}";
}

QByteArray Updates::getUpdateStatus() const
{
    std::unique_lock<std::mutex> locker(stateLock);
    return inProgress == 1 ? QByteArray("{\"ok\":\"In progress\"}") : updateStatus;
}

void Updates::beginJob()
{
    jobBytes = 0;
    jobFiles = 0;
    savedFiles = 0;
    if (config.jobTimeout > 0)
        jobTimer.start(config.jobTimeout);
    requestNextModule();
}

void Updates::jobTimedOut()
{
    {
        std::unique_lock<std::mutex> locker(stateLock);
        if (!jobRunning)
            return;
    }
    // Taken away first, so that the reply's own end is seen as stale.
    QNetworkReply *reply = current;
    current = nullptr;
    if (reply)
        reply->abort();
    finishJob(replyError);
}

void Updates::finishJob(const QByteArray &status)
{
    jobTimer.stop();
    current = nullptr;
    download.reset();
    listBody.clear();
    std::unique_lock<std::mutex> locker(stateLock);
    updateStatus = status;
    inProgress = 0;
    jobRunning = false;
}

QNetworkRequest Updates::jobRequest(const QUrl &url) const
{
    QNetworkRequest request(url);
    if (config.transferTimeout > 0)
        request.setTransferTimeout(config.transferTimeout);
    return request;
}

void Updates::requestNextModule()
{
    std::unique_lock<std::mutex> locker(stateLock);
    if (!jobRunning)
        return;
    if (moduleQueue.isEmpty()) {
        locker.unlock();
        // Installed only now that every file has arrived. A job that saved
        // nothing has nothing to install.
        const bool installed = savedFiles > 0 && install();
        if (installed || savedFiles == 0)
            removeDirectory(tempDir.absoluteFilePath());
        finishJob(installed ? completed : diskError);
        return;
    }
    const QString module = moduleQueue.first();
    locker.unlock();

    listBody.clear();
    breach = Breach::None;
    QNetworkReply *reply = fileListManager.get(jobRequest(fileListUrl(config.updateServer, module)));
    reply->setReadBufferSize(readBuffer);
    current = reply;
    connect(reply, &QNetworkReply::readyRead, this, [this, reply] { takeListData(reply); });
}

void Updates::takeListData(QNetworkReply *reply)
{
    if (reply != current || breach != Breach::None || !reply->isOpen())
        return;
    listBody += reply->readAll();
    if (listBody.size() > maxFileList) {
        breach = Breach::Bound;
        listBody.clear();
        reply->abort();
    }
}

void Updates::fileListDownloadFinished(QNetworkReply *reply)
{
    reply->deleteLater();
    if (reply != current)
        return;
    takeListData(reply);
    current = nullptr;
    {
        std::unique_lock<std::mutex> locker(stateLock);
        if (!jobRunning)
            return;
    }
    if (breach != Breach::None) {
        finishJob(replyError);
        return;
    }
    if (reply->error() != QNetworkReply::NoError) {
        finishJob("{\"error\":\"Reply error!\",\"errorNo\":" + QByteArray::number(int(reply->error())) + '}');
        return;
    }
    bool isArray = false;
    const QStringList files = updatejson::fileList(listBody, &isArray);
    listBody.clear();
    if (isArray) {
        jobFiles += files.size();
        if (jobFiles > maxFilesPerJob) {
            finishJob(replyError);
            return;
        }
    }
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
    // Only the update server's own files are fetched, and only those with
    // a safe place.
    const QString relativePath = updatejson::relativeDownloadPath(url.toString());
    if (!sameServer(url, QUrl(config.updateServer, QUrl::TolerantMode)) || relativePath.isEmpty()) {
        finishJob(replyError);
        return;
    }
    const QString base = tempDir.absoluteFilePath();
    const QString target = base + relativePath;
    // The path was checked piece by piece; this is the last word on it.
    if (!QDir::cleanPath(target).startsWith(QDir::cleanPath(base) + QLatin1Char('/'))) {
        finishJob(replyError);
        return;
    }
    download = std::make_unique<QSaveFile>(target);
    if (!QDir().mkpath(QFileInfo(target).absolutePath()) || !download->open(QIODevice::WriteOnly)) {
        finishJob(diskError);
        return;
    }
    fileBytes = 0;
    breach = Breach::None;
    QNetworkReply *reply = fileManager.get(jobRequest(url));
    reply->setReadBufferSize(readBuffer);
    current = reply;
    connect(reply, &QNetworkReply::readyRead, this, [this, reply] { takeFileData(reply); });
}

bool Updates::takeFileData(QNetworkReply *reply)
{
    if (reply != current || !download)
        return false;
    // An error page or an unfollowed redirect is no file: it is read, within
    // the bounds, but not kept.
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    const bool refused = status.isValid() && (status.toInt() < 200 || status.toInt() > 299);
    bool stop = false;
    while (!stop && breach != Breach::Disk && reply->isOpen() && reply->bytesAvailable() > 0) {
        const QByteArray chunk = reply->read(readBuffer);
        fileBytes += chunk.size();
        jobBytes += chunk.size();
        if (fileBytes > config.maxFileSize || jobBytes > config.maxJobSize) {
            breach = Breach::Bound;
            stop = true;
        } else if (!refused && breach == Breach::None && download->write(chunk) != chunk.size()) {
            breach = Breach::Disk;
            stop = true;
        }
    }
    // Left to end by itself: Qt reports an error status of its own, and
    // aborting on top of it confuses the reply.
    if (refused && breach == Breach::None)
        breach = Breach::Bound;
    if (breach == Breach::None)
        return true;
    download->cancelWriting();
    if (stop && reply->isRunning())
        reply->abort();
    return false;
}

void Updates::fileDownloadFinished(QNetworkReply *reply)
{
    reply->deleteLater();
    if (reply != current)
        return;
    {
        std::unique_lock<std::mutex> locker(stateLock);
        if (!jobRunning)
            return;
    }
    const bool taken = takeFileData(reply);
    current = nullptr;
    if (breach == Breach::Disk) {
        finishJob(diskError);
        return;
    }
    if (!taken || !isSuccess(reply)) {
        finishJob(replyError);
        return;
    }
    if (!download->commit()) {
        finishJob(diskError);
        return;
    }
    download.reset();
    ++savedFiles;
    {
        std::unique_lock<std::mutex> locker(stateLock);
        if (!fileQueue.isEmpty())
            fileQueue.removeFirst();
    }
    requestNextFile();
}

bool Updates::install()
{
    const QString downloads = tempDir.absoluteFilePath();
    const QString root = documentRoot.absoluteFilePath();
    // Hidden entries (the marker, the build and set-aside areas) are no part
    // of the download.
    const QString stage = downloads + QStringLiteral("/.stage/");
    const QString aside = downloads + QStringLiteral("/.old/");
    const QDir top(downloads);
    for (const QString &file : top.entryList(QDir::Files, QDir::Name)) {
        if (!replaceFile(top.filePath(file), root + QLatin1Char('/') + file))
            return false;
    }
    for (const QString &group : top.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name)) {
        const QDir units(top.filePath(group));
        for (const QString &unit : units.entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name)) {
            const QString name = group + QLatin1Char('/') + unit;
            if (!installUnit(units.filePath(unit), root + QLatin1Char('/') + name, stage + name, aside + name))
                return false;
        }
    }
    return true;
}

bool Updates::copyDirectory(const QString &source, const QString &destination)
{
    const QDir from(source);
    if (!from.exists())
        return false;
    // Merging through a link would write wherever it points.
    if (QFileInfo(destination).isSymLink())
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
    return PlatformFiles::removeTree(path);
}
