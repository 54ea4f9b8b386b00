#pragma once

#include <QString>
#include <functional>

namespace Varnex::Test {

// The private home folder and system root every test process runs with.
void SetTestFolders(const QString& home, const QString& sysroot);
QString TestHome();
QString TestSysRoot();

// Runs the event loop until `done` is true or `timeoutMs` passed; true when done.
// The bound is generous: it only decides how long a broken test hangs.
bool WaitUntil(const std::function<bool()>& done, int timeoutMs = 120000);

// Waits until the coarse clock file systems stamp entries with has passed
// the fine clock's time of the call: an entry changed afterwards is stamped
// later than any scan that started before the call.
void WaitForCoarseClockToPassNow();

// Runs a program and returns its exit code (-1 when it did not run); output
// goes to *out and *err when given.
int RunProgram(const QString& program, const QStringList& args, QByteArray* out = nullptr,
               QByteArray* err = nullptr, const QByteArray& input = {}, int timeoutMs = 120000);

}  // namespace Varnex::Test
