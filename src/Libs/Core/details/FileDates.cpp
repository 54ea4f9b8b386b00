#include "Core/details/FileDates.h"

#include <fcntl.h>
#include <sys/stat.h>

#include "Platform/PathCodec.h"

namespace Varnex::Cleaner::Details {

namespace {

std::function<QDateTime(const QString&)>& Reader() {
    static std::function<QDateTime(const QString&)> reader;
    return reader;
}

QDateTime StatxBirthTime(const QString& path) {
    std::string bytes;
    if (!Platform::EncodePath(path, &bytes)) {
        return QDateTime();
    }
    struct statx stx;
    if (::statx(AT_FDCWD, bytes.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BTIME, &stx) != 0 ||
        !(stx.stx_mask & STATX_BTIME)) {
        return QDateTime();
    }
    return QDateTime::fromMSecsSinceEpoch(stx.stx_btime.tv_sec * 1000LL +
                                          stx.stx_btime.tv_nsec / 1000000);
}

}  // namespace

QDateTime GetCreationTime(const QString& path) {
    const auto& reader = Reader();
    return reader ? reader(path) : StatxBirthTime(path);
}

void SetCreationTimeReader(std::function<QDateTime(const QString&)> reader) {
    Reader() = std::move(reader);
}

bool PathExists(const QString& path) {
    std::string bytes;
    struct stat st;
    return !path.isEmpty() && Platform::EncodePath(path, &bytes) &&
           ::lstat(bytes.c_str(), &st) == 0;
}

}  // namespace Varnex::Cleaner::Details
