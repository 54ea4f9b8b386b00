#pragma once

namespace Varnex::Cleaner::Details {

// When a container item built from a scan is ready: the scan announces how
// many children it will report (required) and how many entries it keeps out
// (kept); the container is ready once that many children are ready.
class ChildReadiness {
public:
    // Stores the counts; true when the container is ready with them (no child
    // to wait for, or every announced child already counted).
    bool Require(int required, int kept);
    // Counts one more ready child; true when that completes the count.
    bool Count();

    int Required() const { return m_required; }
    int Kept() const { return m_kept; }

private:
    int m_required = 0;
    int m_kept = 0;
    int m_ready = 0;
};

}  // namespace Varnex::Cleaner::Details
