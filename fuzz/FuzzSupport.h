#pragma once

#include <glog/logging.h>

#include <QByteArray>
#include <QFileInfo>
#include <QString>
#include <QTemporaryDir>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

// What every fuzz target shares: quiet logging (the log lines are still
// formatted, only not written), the input as Qt types, a scratch folder, and
// a check that stops the run the way a sanitizer does, so a broken property
// is a finding with its reproducer like a crash.
namespace Varnex::Fuzz {

inline void QuietLogging() {
    FLAGS_logtostderr = false;
    FLAGS_alsologtostderr = false;
    FLAGS_stderrthreshold = google::GLOG_FATAL;
    FLAGS_minloglevel = google::GLOG_FATAL;
}

inline QByteArray Bytes(const uint8_t* data, std::size_t size) {
    return QByteArray(reinterpret_cast<const char*>(data), static_cast<int>(size));
}

// A folder of the fuzzer's own, removed when the process ends. In memory
// where there is a tmpfs: rewriting one file on a disk's file system waits
// for the disk, which would cut the executions a second a hundredfold.
inline const QString& ScratchFolder() {
    static QTemporaryDir dir(QFileInfo(QStringLiteral("/dev/shm")).isWritable()
                                 ? QStringLiteral("/dev/shm/klarvik-fuzz-XXXXXX")
                                 : QString());
    static const QString path = dir.path();
    if (!dir.isValid()) {
        std::fprintf(stderr, "Can't make a scratch folder\n");
        std::abort();
    }
    return path;
}

}  // namespace Varnex::Fuzz

#define FUZZ_CHECK(condition)                                                                  \
    do {                                                                                       \
        if (!(condition)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                      \
        }                                                                                      \
    } while (false)
