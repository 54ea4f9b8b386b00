#include "common/LogCapture.h"

#include <sstream>

#include "CleanerCommon/Logging.h"

namespace Varnex::Test {

LogCapture::LogCapture() {
    google::AddLogSink(this);
}

LogCapture::~LogCapture() {
    google::RemoveLogSink(this);
}

void LogCapture::send(google::LogSeverity severity, const char* fullFilename, const char*, int line,
                      const struct ::tm*, const char* message, size_t length) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lines.push_back(
        {severity, Util::LogSourceName(fullFilename), line, std::string(message, length)});
}

std::vector<LogCapture::Line> LogCapture::Lines() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lines;
}

int LogCapture::Count(int severity, const std::string& text, const std::string& source) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    int n = 0;
    for (const Line& l : m_lines) {
        if (l.severity == severity && l.message.find(text) != std::string::npos &&
            (source.empty() || l.source == source)) {
            ++n;
        }
    }
    return n;
}

std::string LogCapture::Dump() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::ostringstream out;
    for (const Line& l : m_lines) {
        out << "IWEF"[l.severity & 3] << ' ' << l.source << ':' << l.line << "] " << l.message
            << '\n';
    }
    return out.str();
}

}  // namespace Varnex::Test
