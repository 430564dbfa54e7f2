#ifndef FUZZSUPPORT_H
#define FUZZSUPPORT_H

#include <QtGlobal>

#include <cstdio>
#include <cstdlib>

// Parsers log every rejected input; at fuzzing speed that output would cost
// more than the parsing. Called once from LLVMFuzzerInitialize.
inline void silenceQtMessages()
{
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
}

// A broken invariant is a finding: libFuzzer saves the input when we abort.
#define FUZZ_CHECK(condition)                                                                                          \
    do {                                                                                                               \
        if (!(condition)) {                                                                                            \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition);                         \
            std::abort();                                                                                              \
        }                                                                                                              \
    } while (0)

#endif // FUZZSUPPORT_H
