#pragma once

#include <QDateTime>
#include <QString>
#include <functional>

namespace Varnex::Cleaner::Details {

// The creation (birth) time of a file, or a null date-time when the file
// system does not record one or the path does not exist. Links are not followed.
QDateTime GetCreationTime(const QString& path);

// Replaces the reader behind GetCreationTime() (tests: Linux file systems may
// have no birth time, and tests need controlled dates). An empty function
// restores the real one. Scope's thread only.
void SetCreationTimeReader(std::function<QDateTime(const QString&)> reader);

// Whether an entry exists at path (lstat: a dangling link exists).
bool PathExists(const QString& path);

}  // namespace Varnex::Cleaner::Details
