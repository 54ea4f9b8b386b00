#pragma once

#include <glog/logging.h>

#include <mutex>
#include <string>
#include <vector>

namespace Varnex::Test {

// Collects every glog line written while it lives (from any thread).
class LogCapture : public google::LogSink {
public:
    struct Line {
        int severity;
        std::string source;  // "src/Libs/Core/AbstractGarbageScope"
        int line;
        std::string message;
    };

    LogCapture();
    ~LogCapture() override;

    void send(google::LogSeverity severity, const char* fullFilename, const char* baseFilename,
              int line, const struct ::tm* tm, const char* message, size_t length) override;

    std::vector<Line> Lines() const;
    // Number of lines at `severity` whose message contains `text` (and whose
    // source is `source`, unless empty).
    int Count(int severity, const std::string& text, const std::string& source = {}) const;
    bool Contains(int severity, const std::string& text, const std::string& source = {}) const {
        return Count(severity, text, source) > 0;
    }
    std::string Dump() const;

private:
    mutable std::mutex m_mutex;
    std::vector<Line> m_lines;
};

}  // namespace Varnex::Test
