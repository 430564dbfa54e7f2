// The "json" parameter of an e-mail report, any bytes: the values read from
// it, the length check and the message file, which keeps its thirteen lines
// whatever the values hold.
#include <cstdlib>

#include "email.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray json(reinterpret_cast<const char *>(data), int(size));
    bool isJson = false;
    const QStringList values = Email::readValues(json, &isJson);
    if (values.isEmpty())
        return 0;
    if (values.size() != 7)
        abort();
    if (Email::tooLong(values) >= 0)
        return 0;
    const QByteArray message = Email::messageFileBytes(Email::withoutLineBreaks(values, isJson));
    if (message.count('\r') != 13 || message.count("\r\n") != 13 || message.count('\n') != 13
        || !message.endsWith("\r\n"))
        abort();
    return 0;
}
