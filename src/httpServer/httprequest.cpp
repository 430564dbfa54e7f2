#include "httprequest.h"
#include "httpcookie.h"
#include "httpsettings.h"

#include <QIODevice>
#include <QTemporaryFile>
#include <QtDebug>

#include <algorithm>
#include <limits>

namespace {
// Largest piece read in one step: bounds the line buffer growth per step and
// the block size of multipart spooling.
constexpr qint64 maxStep = 65536;
constexpr qint64 maxLineStep = 8192;
// Lines and plain bodies are held in one byte array each, which cannot grow past this.
constexpr qint64 maxInMemory = qint64(1) << 30;

qint64 readSize(QSettings *settings, const QString &key, qint64 defaultValue)
{
    bool ok = false;
    const qint64 value = httpSetting(settings, key, defaultValue).toLongLong(&ok);
    return ok ? value : defaultValue;
}

// A blank before the colon still names the header for some reader on the
// way, so it names it here too.
bool sameName(const QByteArray &sent, const QByteArray &name)
{
    return sent.trimmed().compare(name, Qt::CaseInsensitive) == 0;
}

bool startsWithNoCase(const QByteArray &value, const char *prefix)
{
    return value.left(int(qstrlen(prefix))).compare(prefix, Qt::CaseInsensitive) == 0;
}

bool hasControlByte(const QByteArray &bytes)
{
    for (char c : bytes) {
        if (uchar(c) < 0x20 || uchar(c) == 0x7F)
            return true;
    }
    return false;
}
} // namespace

HttpRequest::HttpRequest(QSettings *settings)
    : maxSize(qMin(readSize(settings, QStringLiteral("maxRequestSize"), 16000), maxInMemory)),
      maxMultiPartSize(readSize(settings, QStringLiteral("maxMultiPartSize"), 1000000))
{}

HttpRequest::~HttpRequest()
{
    for (auto &entry : uploadedFiles)
        entry.second->close();
    uploadedFiles.clear();
    spoolFile.reset();
}

HttpRequest::ParseState HttpRequest::status() const
{
    return state;
}
QByteArray HttpRequest::method() const
{
    return requestMethod;
}
bool HttpRequest::isBadRequest() const
{
    return badRequest;
}
QByteArray HttpRequest::path() const
{
    return decodeUrl(requestPath);
}
QByteArray HttpRequest::rawPath() const
{
    return requestPath;
}
QByteArray HttpRequest::version() const
{
    return requestVersion;
}
QByteArray HttpRequest::authority() const
{
    return targetAuthority;
}
QByteArray HttpRequest::header(const QByteArray &name) const
{
    for (auto it = headers.crbegin(); it != headers.crend(); ++it) {
        if (sameName(it->first, name))
            return it->second;
    }
    return QByteArray();
}
QList<QByteArray> HttpRequest::headerValues(const QByteArray &name) const
{
    QList<QByteArray> values;
    for (auto it = headers.crbegin(); it != headers.crend(); ++it) {
        if (sameName(it->first, name))
            values.append(it->second);
    }
    return values;
}
QMultiMap<QByteArray, QByteArray> HttpRequest::headerMap() const
{
    QMultiMap<QByteArray, QByteArray> map;
    for (const auto &field : headers)
        map.insert(field.first, field.second);
    return map;
}
QByteArray HttpRequest::parameter(const QByteArray &name) const
{
    return parameters.value(name);
}
QList<QByteArray> HttpRequest::parameterValues(const QByteArray &name) const
{
    return parameters.values(name);
}
QMultiMap<QByteArray, QByteArray> HttpRequest::parameterMap() const
{
    return parameters;
}
QByteArray HttpRequest::body() const
{
    return bodyData;
}
QByteArray HttpRequest::cookie(const QByteArray &name) const
{
    return cookies.value(name);
}
QMap<QByteArray, QByteArray> HttpRequest::cookieMap() const
{
    return cookies;
}

QTemporaryFile *HttpRequest::uploadedFile(const QByteArray &fieldName) const
{
    const auto it = uploadedFiles.find(fieldName);
    return it == uploadedFiles.end() ? nullptr : it->second.get();
}

qint64 HttpRequest::limit() const
{
    return boundary.isEmpty() ? maxSize : maxMultiPartSize;
}

bool HttpRequest::readLine(QIODevice *socket, QByteArray &line)
{
    // One byte beyond the allowance is enough to detect an over-long line.
    const qint64 allowance = qBound<qint64>(1, maxSize - receivedBytes + 1, maxLineStep);
    const int old = lineBuffer.size();
    lineBuffer.resize(old + int(allowance) + 1);
    qint64 n = socket->readLine(lineBuffer.data() + old, allowance + 1);
    if (n < 0)
        n = 0;
    lineBuffer.resize(old + int(n));
    receivedBytes += n;
    // Only LF ends a line: a CR and its LF may arrive in different packets.
    if (n == 0 || lineBuffer.at(lineBuffer.size() - 1) != '\n')
        return false;
    line = lineBuffer.trimmed();
    lineBuffer.resize(0);
    return true;
}

void HttpRequest::readRequest(QIODevice *socket)
{
    QByteArray line;
    if (!readLine(socket, line) || line.isEmpty())
        return;
    const QList<QByteArray> words = line.split(' ');
    if (words.size() != 3 || !words.at(2).contains("HTTP")) {
        qWarning("HttpRequest: received broken HTTP request, invalid first line");
        state = Aborted;
        return;
    }
    requestMethod = words.at(0).trimmed();
    requestVersion = words.at(2);
    if (!splitTarget(words.at(1))) {
        refuseAsBad("HttpRequest: malformed request target");
        return;
    }
    state = ExpectHeader;
}

bool HttpRequest::splitTarget(const QByteArray &target)
{
    QByteArray path = target;
    for (const char *scheme : {"http://", "https://"}) {
        if (!startsWithNoCase(target, scheme))
            continue;
        // The absolute form a proxy would get: its authority is checked
        // against Host, and the rest is served as the usual path.
        const QByteArray rest = target.mid(int(qstrlen(scheme)));
        int end = 0;
        while (end < rest.size() && rest.at(end) != '/' && rest.at(end) != '?' && rest.at(end) != '#')
            ++end;
        targetAuthority = rest.left(end);
        if (targetAuthority.isEmpty() || targetAuthority.contains('@'))
            return false;
        path = rest.mid(end);
        if (!path.startsWith('/'))
            path.prepend('/');
        break;
    }
    const int question = path.indexOf('?');
    if (question >= 0) {
        rawQuery = path.mid(question + 1);
        path.truncate(question);
    }
    requestPath = path;
    return true;
}

void HttpRequest::readHeader(QIODevice *socket)
{
    QByteArray line;
    if (!readLine(socket, line))
        return;
    const int colon = line.indexOf(':');
    if (colon > 0) {
        currentHeader = line.left(colon);
        headers.append(qMakePair(currentHeader, line.mid(colon + 1).trimmed()));
    } else if (!line.isEmpty()) {
        if (!headers.isEmpty())
            headers.append(qMakePair(currentHeader, header(currentHeader) + ' ' + line));
    } else {
        endOfHeaders();
    }
}

HttpRequest::LengthCheck HttpRequest::announcedLength(const QList<QByteArray> &values, qint64 &length)
{
    length = 0;
    bool found = false;
    for (const QByteArray &raw : values) {
        // Every reader on the way must see the same length, so nothing
        // that some reader might take as another number ("1x", "+1", "1, 1").
        const QByteArray value = raw.trimmed();
        if (value.isEmpty())
            return NotANumber;
        qint64 parsed = 0;
        for (char c : value) {
            if (c < '0' || c > '9')
                return NotANumber;
            // Too large for 64 bits is still a number: far beyond any limit.
            const int digit = c - '0';
            parsed = parsed > (std::numeric_limits<qint64>::max() - digit) / 10 ? std::numeric_limits<qint64>::max()
                                                                                : parsed * 10 + digit;
        }
        if (found && parsed != length)
            return Conflicting;
        length = parsed;
        found = true;
    }
    return Usable;
}

void HttpRequest::refuseAsBad(const char *warning)
{
    qWarning("%s", warning);
    badRequest = true;
    state = Aborted;
}

bool HttpRequest::checkTarget()
{
    // HTTP/1.1 names its host exactly once; HTTP/1.0 may leave it out.
    const QList<QByteArray> hosts = headerValues("Host");
    if (hosts.size() > 1 || (hosts.size() == 1 && hosts.first().isEmpty())
        || (hosts.isEmpty() && requestVersion != "HTTP/1.0")) {
        refuseAsBad("HttpRequest: missing, empty or repeated Host");
        return false;
    }
    if (!targetAuthority.isEmpty() && !hosts.isEmpty()
        && targetAuthority.compare(hosts.first(), Qt::CaseInsensitive) != 0) {
        refuseAsBad("HttpRequest: request target and Host name different hosts");
        return false;
    }
    // A NUL would cut the file name short of the extension that chose its type.
    if (hasControlByte(path())) {
        refuseAsBad("HttpRequest: control byte in path");
        return false;
    }
    return true;
}

void HttpRequest::endOfHeaders()
{
    // Request bodies are never chunked here; a chunked body would run as the next request.
    for (const auto &field : qAsConst(headers)) {
        if (sameName(field.first, "Transfer-Encoding")) {
            qWarning("HttpRequest: Transfer-Encoding is not accepted in requests");
            state = Aborted;
            return;
        }
    }
    const QByteArray contentType = header("Content-Type");
    if (startsWithNoCase(contentType, "multipart/form-data")) {
        const int pos = contentType.toLower().indexOf("boundary=");
        if (pos >= 0)
            boundary = contentType.mid(pos + 9);
    }
    switch (announcedLength(headerValues("Content-Length"), expectedBodySize)) {
    case Conflicting:
        qWarning("HttpRequest: conflicting Content-Length values");
        state = Aborted;
        return;
    case NotANumber:
        qWarning("HttpRequest: Content-Length is not a number");
        state = Aborted;
        return;
    case Usable: break;
    }
    // Compared without adding: the announced size may be close to 2^63.
    if (expectedBodySize == 0) {
        state = Complete;
    } else if (!boundary.isEmpty()) {
        if (expectedBodySize > maxMultiPartSize) {
            qWarning("HttpRequest: expected multipart body is too large");
            state = Aborted;
        } else {
            state = ExpectBody;
        }
    } else if (expectedBodySize > maxSize - receivedBytes) {
        qWarning("HttpRequest: expected body is too large");
        state = Aborted;
    } else {
        // Memory follows the bytes that arrive, not the size a client announces.
        bodyData.reserve(int(qMin(expectedBodySize, maxStep)));
        state = ExpectBody;
    }
    if (state != Aborted)
        checkTarget();
}

qint64 HttpRequest::announcedBodySize() const
{
    return expectedBodySize;
}

bool HttpRequest::isEncrypted() const
{
    return encrypted;
}

void HttpRequest::setEncrypted(bool value)
{
    encrypted = value;
}

void HttpRequest::readBody(QIODevice *socket)
{
    if (!boundary.isEmpty()) {
        readMultiPartBody(socket);
        return;
    }
    const qint64 wanted = qMin(expectedBodySize - bodyData.size(), maxStep);
    const QByteArray block = socket->read(wanted);
    receivedBytes += block.size();
    bodyData += block;
    if (bodyData.size() >= expectedBodySize)
        state = Complete;
}

void HttpRequest::readMultiPartBody(QIODevice *socket)
{
    if (!spoolFile) {
        spoolFile = std::make_unique<QTemporaryFile>();
        if (!spoolFile->open()) {
            qCritical("HttpRequest: Error writing temp file for multipart body");
            state = Aborted;
            return;
        }
    }
    qint64 spooled = spoolFile->size();
    const QByteArray block = socket->read(qMin(expectedBodySize - spooled, maxStep));
    if (spoolFile->write(block) < 0)
        qCritical("HttpRequest: Error writing temp file for multipart body");
    else
        spooled += block.size();
    if (block.isEmpty())
        return;
    if (spooled >= maxMultiPartSize) {
        qWarning("HttpRequest: received too many multipart bytes");
        state = Aborted;
    } else if (spooled >= expectedBodySize) {
        if (!spoolFile->flush())
            qCritical("HttpRequest: Error writing temp file for multipart body");
        const bool parsed = parseMultiPartFile();
        spoolFile->close();
        state = parsed ? Complete : Aborted;
    }
}

void HttpRequest::readFromSocket(QIODevice *socket)
{
    switch (state) {
    case ExpectRequestLine: readRequest(socket); break;
    case ExpectHeader: readHeader(socket); break;
    case ExpectBody: readBody(socket); break;
    case Complete:
    case Aborted: return;
    }

    if (state != Aborted && receivedBytes > limit()) {
        qWarning("HttpRequest: received too many bytes");
        state = Aborted;
    } else if (state == Complete) {
        decodeParameters();
        parseCookies();
    }
}

bool HttpRequest::parseMultiPartFile()
{
    qDebug("HttpRequest: parsing multipart temp file");
    QTemporaryFile &spool = *spoolFile;
    spool.seek(0);
    const QByteArray delimiter = "--" + boundary;
    const QByteArray lastDelimiter = boundary + "--";
    QByteArray line;
    line.reserve(int(maxStep) + 1);
    auto readSpoolLine = [&spool, &line]() {
        line.resize(int(maxStep) + 1);
        const qint64 n = spool.readLine(line.data(), maxStep + 1);
        line.resize(n > 0 ? int(n) : 0);
        return n > 0;
    };

    bool finished = false;
    int parts = 0;
    while (!spool.atEnd() && !finished && spool.error() == QFileDevice::NoError) {
        if (++parts > maxMultiParts) {
            qWarning("HttpRequest: too many multipart parts");
            uploadedFiles.clear();
            return false;
        }
        QByteArray fieldName;
        QByteArray fileName;
        while (!spool.atEnd() && spool.error() == QFileDevice::NoError) {
            if (!readSpoolLine())
                break;
            const QByteArray trimmed = line.trimmed();
            if (trimmed.isEmpty())
                break;
            if (trimmed.startsWith("Content-Disposition:")) {
                if (trimmed.contains("form-data")) {
                    int start = trimmed.indexOf(" name=\"");
                    int end = start >= 0 ? trimmed.indexOf('"', start + 7) : -1;
                    if (end >= 0)
                        fieldName = trimmed.mid(start + 7, end - start - 7);
                    start = trimmed.indexOf(" filename=\"");
                    end = start >= 0 ? trimmed.indexOf('"', start + 11) : -1;
                    if (end >= 0)
                        fileName = trimmed.mid(start + 11, end - start - 11);
                } else {
                    qDebug("HttpRequest: ignoring unsupported content part %s", trimmed.constData());
                }
            }
        }

        const bool isFile = !fieldName.isEmpty() && !fileName.isEmpty();
        std::unique_ptr<QTemporaryFile> uploaded;
        QByteArray fieldValue;
        bool uploadFailed = false;
        while (!spool.atEnd() && spool.error() == QFileDevice::NoError) {
            if (!readSpoolLine())
                break;
            if (line.startsWith(delimiter)) {
                if (isFile) {
                    if (!uploaded && !uploadFailed) {
                        // A part without any data line still stands for an (empty) upload.
                        uploaded = std::make_unique<QTemporaryFile>();
                        uploadFailed = !uploaded->open();
                    }
                    if (uploaded && !uploadFailed) {
                        uploaded->resize(qMax<qint64>(0, uploaded->size() - 2));
                        uploaded->flush();
                        uploaded->seek(0);
                        parameters.insert(fieldName, fileName);
                        qDebug("HttpRequest: set parameter %s=%s", fieldName.constData(), fileName.constData());
                        const qint64 size = uploaded->size();
                        uploadedFiles[fieldName] = std::move(uploaded);
                        qDebug("HttpRequest: uploaded file size is %lli", size);
                    }
                } else if (!fieldName.isEmpty()) {
                    fieldValue.chop(2);
                    parameters.insert(fieldName, fieldValue);
                    qDebug("HttpRequest: set parameter %s=%s", fieldName.constData(), fieldValue.constData());
                }
                finished = line.contains(lastDelimiter);
                break;
            }
            if (isFile) {
                if (!uploaded && !uploadFailed) {
                    uploaded = std::make_unique<QTemporaryFile>();
                    uploadFailed = !uploaded->open();
                    if (uploadFailed)
                        qCritical("HttpRequest: error writing temp file, %s", qPrintable(uploaded->errorString()));
                }
                if (uploaded && !uploadFailed) {
                    uploaded->write(line);
                    if (uploaded->error() != QFileDevice::NoError)
                        qCritical("HttpRequest: error writing temp file, %s", qPrintable(uploaded->errorString()));
                }
            } else if (!fieldName.isEmpty()) {
                fieldValue += line;
                receivedBytes += line.size();
            }
        }
        // A file part cut off by the end of the body is dropped with its temporary file.
    }

    if (spool.error() != QFileDevice::NoError) {
        qCritical("HttpRequest: cannot read temp file, %s", qPrintable(spool.errorString()));
        qDebug() << "HttpRequest: cannot read temp file: " << spool.errorString();
    }
    return true;
}

void HttpRequest::decodeParameters()
{
    QByteArray rawParameters = rawQuery;
    const QByteArray contentType = header("Content-Type");
    if (!bodyData.isEmpty()
        && (contentType.isEmpty() || startsWithNoCase(contentType, "application/x-www-form-urlencoded"))) {
        if (!rawParameters.isEmpty())
            rawParameters += '&';
        rawParameters += bodyData;
    }
    if (rawParameters.isEmpty())
        return;
    const QList<QByteArray> pieces = rawParameters.split('&');
    for (const QByteArray &piece : pieces) {
        const int equals = piece.indexOf('=');
        if (equals >= 0) {
            parameters.insert(decodeUrl(piece.left(equals).trimmed()), decodeUrl(piece.mid(equals + 1).trimmed()));
        } else if (!piece.isEmpty()) {
            parameters.insert(decodeUrl(piece), QByteArray());
        }
    }
}

void HttpRequest::parseCookies()
{
    const QList<QByteArray> values = headerValues("Cookie");
    for (const QByteArray &value : values) {
        const QList<QByteArray> pieces = HttpCookie::splitAttributes(value);
        for (const QByteArray &piece : pieces) {
            const int equals = piece.indexOf('=');
            if (equals >= 0)
                cookies.insert(piece.left(equals).trimmed(), piece.mid(equals + 1).trimmed());
            else
                cookies.insert(piece.trimmed(), QByteArray());
        }
    }
    headers.erase(
            std::remove_if(headers.begin(), headers.end(),
                           [](const QPair<QByteArray, QByteArray> &field) { return sameName(field.first, "Cookie"); }),
            headers.end());
}

QByteArray HttpRequest::decodeUrl(const QByteArray &source)
{
    QByteArray buffer(source);
    buffer.replace('+', ' ');
    int percent = buffer.indexOf('%');
    while (percent >= 0) {
        bool ok = false;
        const int value = buffer.mid(percent + 1, 2).toInt(&ok, 16);
        if (ok)
            buffer.replace(percent, 3, QByteArray(1, char(value & 0xFF)));
        percent = buffer.indexOf('%', percent + 1);
    }
    return buffer;
}
