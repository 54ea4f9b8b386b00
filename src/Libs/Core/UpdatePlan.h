#pragma once

#include <QString>
#include <vector>

namespace Varnex::Cleaner::Details {

// The entries an update downloads, in order: the engine archive, whole
// databases (name.cvd) and database increments (name-version.cdiff), each
// with its share in the overall progress.
class UpdatePlan {
public:
    enum Type { INVALID = 0, ENGINE = 1, FULL_DATABASE = 2, INCREMENTAL_DATABASE = 3 };

    struct Entry {
        Type type = INVALID;
        QString name;
        float weight = 0;       // share in the overall progress
        bool upToDate = false;  // the updater found it current: it leaves the progress
        float progress = 0;     // 0..1
    };

    // Weight of one increment and, by default, more increments than this
    // are fetched as the whole database instead.
    static constexpr float incrementWeight = 0.01f;
    static constexpr int defaultIncrementCap = 500;

    // The progress weight of a whole database: "main" 0.4, "daily" 0.35,
    // "bytecode" 0.05, any other 0.1.
    static float DatabaseWeight(const QString& name);
    static QString FullName(const QString& name);                    // "daily.cvd"
    static QString IncrementName(const QString& name, int version);  // "daily-13.cdiff"

    const std::vector<Entry>& Entries() const { return m_entries; }
    std::vector<Entry>& Entries() { return m_entries; }
    int Size() const { return static_cast<int>(m_entries.size()); }
    bool IsEmpty() const { return m_entries.empty(); }
    void Clear() { m_entries.clear(); }
    void Append(const Entry& entry) { m_entries.push_back(entry); }

    // Index of the first entry named `name`, or -1.
    int Find(const QString& name) const;

    // Appends the increments of database `name` from installed version
    // `local` to the mirror's `remote`: name-v.cdiff for v = local+1..remote.
    // When the database is not installed (local < 0), older than the mirror
    // by more than `cap` versions, or newer than it (the mirror went back),
    // one whole database entry is appended instead. Equal versions add
    // nothing.
    void AddIncrements(const QString& name, int local, int remote, int cap = defaultIncrementCap);

    // The updater could not apply the increments of `name` and fetches the
    // whole database: every increment of `name` is erased, except the newest
    // one (version `remoteVersion`), which becomes {FULL_DATABASE, name.cvd,
    // weight}. Without the newest increment the whole database entry is
    // appended (unless the plan holds it already). `current` is the index of
    // the entry being worked on (-1 for none); the result is that index
    // moved for the erased entries: it keeps naming the same entry, or, when
    // that entry itself was erased, the one that followed it.
    int ReplaceIncrements(const QString& name, int remoteVersion, float weight, int current);

    // Σ(weight × progress) / Σ(weight) over the entries not up to date; 1.0
    // when that weight sum is 0. Always within 0..1.
    float Progress() const;

private:
    std::vector<Entry> m_entries;
};

}  // namespace Varnex::Cleaner::Details
