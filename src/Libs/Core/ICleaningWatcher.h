#pragma once

namespace Varnex::Cleaner {

// The application's veto on a running cleaning: asked on the scope's thread,
// on every cleaning poll, with the bytes cleaned by that poll.
class ICleaningWatcher {
public:
    ICleaningWatcher() = default;
    ICleaningWatcher(const ICleaningWatcher&) = delete;
    ICleaningWatcher& operator=(const ICleaningWatcher&) = delete;
    virtual ~ICleaningWatcher() = default;

    // True lets the cleaning go on; false stops it.
    virtual bool CheckCleanedSize(long long size) = 0;
};

}  // namespace Varnex::Cleaner
