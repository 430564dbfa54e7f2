// The cookie splitter, alone and on the way through a request's Cookie header.

#include <QByteArrayList>

#include <cstdint>

#include "fuzzsocket.h"
#include "fuzzsupport.h"
#include "httpcookie.h"
#include "httprequest.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    silenceQtMessages();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray source(reinterpret_cast<const char *>(data), int(size));
    const QByteArrayList pieces = HttpCookie::splitAttributes(source);

    int bytes = 0;
    for (const QByteArray &piece : pieces) {
        FUZZ_CHECK(!piece.isEmpty());
        FUZZ_CHECK(piece == piece.trimmed());
        FUZZ_CHECK(!piece.contains('"'));
        bytes += piece.size();
    }
    FUZZ_CHECK(bytes <= source.size() - source.count('"'));
    if (!source.contains('"')) {
        // Without quotes the rule is a plain split at every ';'.
        QByteArrayList plain;
        for (const QByteArray &part : source.split(';')) {
            if (!part.trimmed().isEmpty())
                plain.append(part.trimmed());
        }
        FUZZ_CHECK(pieces == plain);
    }

    // The same text as a request's Cookie header: one entry per name.
    QByteArray value = source;
    value.replace('\r', ' ').replace('\n', ' ');
    FuzzSocket socket;
    socket.feed("GET / HTTP/1.1\r\nCookie: " + value + "\r\n\r\n");
    HttpRequest request;
    while (socket.bytesAvailable() > 0 && request.status() != HttpRequest::Complete
           && request.status() != HttpRequest::Aborted)
        request.readFromSocket(&socket);
    if (request.status() == HttpRequest::Complete) {
        FUZZ_CHECK(request.headerValues("Cookie").isEmpty());
        const auto cookies = request.cookieMap();
        FUZZ_CHECK(cookies.size() <= pieces.size());
        for (auto it = cookies.cbegin(); it != cookies.cend(); ++it) {
            FUZZ_CHECK(it.key() == it.key().trimmed());
            FUZZ_CHECK(it.value() == it.value().trimmed());
        }
    }
    return 0;
}
