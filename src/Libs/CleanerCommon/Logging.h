#pragma once

#include <string>

namespace Varnex::Util {

// Sets glog up for a program of ours: lines go to standard error (no log
// files), each naming its source by the path below the source root without its
// extension, e.g. "I20261206 12:00:00.123456 4242 src/Libs/Core/AbstractGarbageScope:87] ...".
// Lines below minSeverity (google::INFO = 0 ... google::ERROR = 2) are not
// printed; a LogSink added later still sees every line. Safe to call twice.
void InitLogging(const char* argv0, int minSeverity = 0);

// "src/Libs/Core/AbstractGarbageScope.cpp" -> "src/Libs/Core/AbstractGarbageScope".
std::string LogSourceName(const char* fileName);

}  // namespace Varnex::Util
