#pragma once

namespace Klarvik {

// Appends the folder of this program, where the stand-ins of system tools
// (system_profiler) are built, to PATH. The user's entries stay first, so a
// tool found there wins. Call once, before any tool runs (main thread).
void AppendToolFolderToPath();

// `klarvik sysinfo`: prints the system information (as JSON with `json`).
// Returns an exit code of Commands.h; the information is shown even when parts
// of it could not be read (those read as empty or 0).
int RunSysinfo(bool json);

}  // namespace Klarvik
