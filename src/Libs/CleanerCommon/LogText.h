#pragma once

#include <QString>
#include <string>

namespace Varnex::Util {

// A path or other outside text made safe for one log line: UTF-8, with control
// characters written as escapes (\n, \t, \xNN), so that a file name holding a
// line break cannot forge a line of its own.
std::string LogText(const QString& text);
std::string LogText(const std::string& utf8);

}  // namespace Varnex::Util
