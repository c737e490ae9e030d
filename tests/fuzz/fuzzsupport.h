#ifndef RUVELANT_FUZZSUPPORT_H
#define RUVELANT_FUZZSUPPORT_H

#include <QByteArray>
#include <QCoreApplication>

#include <cstdint>
#include <cstdlib>
#include <ctime>

// What every fuzz target sets up once: a fixed time zone and language, an application object,
// and no diagnostics on standard error (malformed input is what the targets are given).
inline void initFuzzing(int *argc, char ***argv)
{
    setenv("TZ", "Europe/Paris", 1);
    setenv("LANG", "en_US.UTF-8", 1);
    tzset();
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    static QCoreApplication app(*argc, *argv);
}

inline QByteArray fuzzInput(const uint8_t *data, size_t size)
{
    return QByteArray(reinterpret_cast<const char *>(data), int(size));
}

// A broken promise of the code under test: a crash that libFuzzer reports with the input.
#define FUZZ_ASSERT(condition)                                                                                         \
    do {                                                                                                               \
        if (!(condition)) {                                                                                            \
            fprintf(stderr, "fuzz assertion failed: %s (%s:%d)\n", #condition, __FILE__, __LINE__);                    \
            abort();                                                                                                   \
        }                                                                                                              \
    } while (false)

#endif
