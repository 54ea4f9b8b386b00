#pragma once

#include <QString>
#include <atomic>

namespace Varnex::Cleaner::Details {

// One launchd job file as a scan read it (its path, label and identity), and
// what may be done with its job. launchctl acts on a job by its label,
// whichever file loaded it, and its `-w` records a job switched off by label
// too. So a job is switched only while the path still holds the file the scan
// read, and never while another job file (in the folders scanned or the
// system's own) names the same label: that could stop, or keep from starting,
// the other file's job.
//
// Threads: any; nothing here touches a QObject. Switch() and
// PrepareRemoval() block while `launchctl` runs (30 s at most a run), and
// `*cancel` becoming true kills the run at once.
class LaunchJobFile {
public:
    // What a switch, or the preparation of a removal, came to.
    struct Outcome {
        enum class State {
            UNCHANGED,  // no listing was read: what was known stays
            KNOWN,      // a listing was read: `loaded` is the truth
            UNKNOWN     // the listing could not be read
        };
        State state = State::UNCHANGED;
        bool loaded = false;
        // Nothing was run: the file is not the one scanned, or its label is shared.
        bool refused = false;
        // PrepareRemoval(): the job is not loaded and the file may go.
        bool removable = false;
        // Empty when it ended as asked; otherwise why not.
        QString problem;
    };

    LaunchJobFile(QString path, QString label, unsigned long long device, unsigned long long inode,
                  long long birth);

    // The "Label" string of the property list at `path`, or null with *problem.
    static QString ReadLabel(const QString& path, QString* problem);

    // `launchctl load -w` (or "unload -w") on the file, then a listing tells
    // the job's state: a problem when it is not the state asked for.
    Outcome Switch(bool on, const std::atomic<bool>* cancel = nullptr) const;
    // Before the file is removed: its job is unloaded as Switch(false) does,
    // and the file is removable once a listing shows it is not loaded. When
    // another file names the same label nothing is run: the file is
    // removable only while a listing shows that label not loaded.
    Outcome PrepareRemoval(const std::atomic<bool>* cancel = nullptr) const;

private:
    // Whether the path still holds the file the scan read; else why not.
    bool IsTheScannedFile(QString* problem) const;
    // Another present job file naming this label, or null.
    QString OtherFileWithLabel() const;
    // Reads the listing into *outcome; the listing's problem when it failed.
    QString ReadState(Outcome* outcome, const std::atomic<bool>* cancel) const;

    QString m_path;
    QString m_label;
    unsigned long long m_device;
    unsigned long long m_inode;
    long long m_birth;
};

}  // namespace Varnex::Cleaner::Details
