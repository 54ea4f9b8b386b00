#include "CleanerCommon/Logging.h"

#include <glog/logging.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

namespace Varnex::Util {

namespace {

// glog's own prefix only knows the base name of a file; a sink receives the
// whole __FILE__, which the build makes relative to the source root.
class StderrSink : public google::LogSink {
public:
    std::atomic<int> minSeverity{0};

    void send(google::LogSeverity severity, const char* fullFilename, const char* /*base*/,
              int line, const struct ::tm* tm, const char* message, size_t length) override {
        if (severity < minSeverity.load()) {
            return;
        }
        static const char letters[] = "IWEF";
        char stamp[64];
        std::snprintf(stamp, sizeof stamp, "%04d%02d%02d %02d:%02d:%02d", tm->tm_year + 1900,
                      tm->tm_mon + 1, tm->tm_mday, tm->tm_hour, tm->tm_min, tm->tm_sec);
        const std::string source = LogSourceName(fullFilename);
        std::lock_guard<std::mutex> lock(m_mutex);
        std::fprintf(stderr, "%c%s %ld %s:%d] %.*s\n", letters[severity & 3], stamp,
                     static_cast<long>(::syscall(SYS_gettid)), source.c_str(), line,
                     static_cast<int>(length), message);
        std::fflush(stderr);
    }

private:
    std::mutex m_mutex;
};

StderrSink* TheSink() {
    static StderrSink* sink = new StderrSink;  // lives until exit, as glog's sinks must
    return sink;
}

}  // namespace

std::string LogSourceName(const char* fileName) {
    std::string name = fileName ? fileName : "";
    // A build that passes sources by relative paths (a compiler cache does)
    // names them from the build folder: the path below the root is what follows.
    std::size_t lead = 0;
    while (name.compare(lead, 3, "../") == 0 || name.compare(lead, 2, "./") == 0) {
        lead += name[lead + 1] == '/' ? 2 : 3;
    }
    name.erase(0, lead);
    const std::size_t slash = name.rfind('/');
    const std::size_t dot = name.rfind('.');
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) {
        name.erase(dot);
    }
    return name;
}

void InitLogging(const char* argv0, int minSeverity) {
    static std::once_flag once;
    std::call_once(once, [argv0] {
        if (!google::IsGoogleLoggingInitialized()) {
            google::InitGoogleLogging(argv0 ? argv0 : "klarvik");
        }
        FLAGS_logtostderr = false;
        FLAGS_alsologtostderr = false;
        FLAGS_stderrthreshold = google::NUM_SEVERITIES;
        for (int s = google::INFO; s < google::NUM_SEVERITIES; ++s) {
            google::SetLogDestination(s, "");  // no log files
        }
        google::AddLogSink(TheSink());
    });
    TheSink()->minSeverity = minSeverity;
}

}  // namespace Varnex::Util
