// The request parser fed through a socket stand-in, as the connection handler
// feeds it. Input: one control byte, then the bytes of the connection.
//   control & 0x20: small limits (maxRequestSize 1000, maxMultiPartSize 3000),
//                   else the defaults (16000 / 1000000);
//   control:        seeds the sizes of the packets the bytes arrive in.
// Requests that complete are followed by the next one on the same connection,
// as with keep-alive; an aborted request ends the connection.

#include <QSettings>
#include <QTemporaryDir>
#include <QTemporaryFile>

#include <cstdint>
#include <memory>

#include "fuzzsocket.h"
#include "fuzzsupport.h"
#include "httprequest.h"

namespace {

QSettings *smallLimits = nullptr;

// Packet sizes from a tiny generator: mostly short pieces, now and then a
// large one, so lines and bodies are cut everywhere.
class PacketSizes
{
public:
    explicit PacketSizes(quint8 seed) : state(seed * 2654435761u + 1) {}
    int next()
    {
        state = state * 1103515245u + 12345u;
        static const int sizes[] = {1, 1, 2, 3, 5, 8, 17, 64, 500, 4096, 70000};
        return sizes[(state >> 16) % (sizeof sizes / sizeof sizes[0])];
    }

private:
    quint32 state;
};

void inspect(const HttpRequest &request)
{
    FUZZ_CHECK(!request.method().isEmpty());
    FUZZ_CHECK(request.version().contains("HTTP"));
    FUZZ_CHECK(!request.rawPath().contains('?'));
    request.path();
    FUZZ_CHECK(request.headerValues("Cookie").isEmpty());
    const auto parameters = request.parameterMap();
    for (auto it = parameters.cbegin(); it != parameters.cend(); ++it) {
        QTemporaryFile *file = request.uploadedFile(it.key());
        if (file) {
            FUZZ_CHECK(file->isOpen());
            FUZZ_CHECK(file->pos() == 0);
            FUZZ_CHECK(file->readAll().size() == file->size());
            file->seek(0);
        }
    }
    request.cookieMap();

    // Request bodies are never chunked here, and a plain body is exactly
    // as long as announced: anything else would let bytes run as a request.
    const auto headers = request.headerMap();
    for (auto it = headers.cbegin(); it != headers.cend(); ++it)
        FUZZ_CHECK(it.key().trimmed().compare("Transfer-Encoding", Qt::CaseInsensitive) != 0);
    FUZZ_CHECK(request.announcedBodySize() >= 0);
    const QByteArray contentType = request.header("Content-Type").toLower();
    const int boundaryAt = contentType.indexOf("boundary=");
    const bool multipart =
            contentType.startsWith("multipart/form-data") && boundaryAt >= 0 && boundaryAt + 9 < contentType.size();
    if (!multipart)
        FUZZ_CHECK(request.body().size() == request.announcedBodySize());

    // What reaches a handler names its host once and has no control byte in its path.
    FUZZ_CHECK(request.headerValues("Host").size() <= 1);
    FUZZ_CHECK(request.headerValues("Host").size() == 1 || request.version() == "HTTP/1.0");
    for (char c : request.path())
        FUZZ_CHECK(uchar(c) >= 0x20 && uchar(c) != 0x7F);
    int files = 0;
    for (auto it = parameters.cbegin(); it != parameters.cend(); ++it)
        files += request.uploadedFile(it.key()) ? 1 : 0;
    FUZZ_CHECK(files <= HttpRequest::maxMultiParts);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    silenceQtMessages();
    static QTemporaryDir dir;
    smallLimits = new QSettings(dir.filePath("config.ini"), QSettings::IniFormat);
    smallLimits->beginGroup("listener");
    smallLimits->setValue("maxRequestSize", 1000);
    smallLimits->setValue("maxMultiPartSize", 3000);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const quint8 control = data[0];
    QSettings *settings = (control & 0x20) ? smallLimits : nullptr;
    const QByteArray stream(reinterpret_cast<const char *>(data + 1), int(size - 1));

    FuzzSocket socket;
    PacketSizes sizes(control);
    int delivered = 0;
    std::unique_ptr<HttpRequest> request;
    for (;;) {
        if (socket.bytesAvailable() == 0) {
            if (delivered >= stream.size())
                break;
            const int n = qMin(sizes.next(), stream.size() - delivered);
            socket.feed(stream.mid(delivered, n));
            delivered += n;
        }
        if (!request)
            request = std::make_unique<HttpRequest>(settings);
        const qint64 before = socket.bytesAvailable();
        const HttpRequest::ParseState stateBefore = request->status();
        request->readFromSocket(&socket);
        // The handler calls again as long as bytes are there: a step that
        // takes nothing and changes nothing would spin it for ever.
        FUZZ_CHECK(socket.bytesAvailable() < before || request->status() != stateBefore);
        if (request->status() == HttpRequest::Aborted)
            break;
        if (request->status() == HttpRequest::Complete) {
            inspect(*request);
            request.reset();
        }
    }
    return 0;
}
