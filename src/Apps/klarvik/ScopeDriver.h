#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QStringList>
#include <QTextStream>
#include <QTimer>

#include "Core/AbstractGarbageScope.h"

namespace Klarvik {

// Drives one scope through a scan and a cleaning the way the application
// does: through its public calls and signals, waiting in the event loop. On a
// terminal it keeps a one-line progress display on standard error. Ctrl-C asks
// the running scan or cleaning to stop, or answers a question at once (a
// second Ctrl-C ends the program). For programs it can write progress as
// JSON Lines records instead.
class ScopeDriver : public QObject {
    Q_OBJECT
public:
    using Scope = Varnex::Cleaner::AbstractGarbageScope;
    enum class Answer { YES, NO, INTERRUPTED };

    ScopeDriver(Scope* scope, bool showProgress, QObject* parent = nullptr);
    ~ScopeDriver() override;

    // Writes a "progress" record to `out` about every half second while
    // scanning or cleaning and one as each finishes: {"type": "progress",
    // "phase": "scanning", "items", "size"} or {"type": "progress", "phase":
    // "cleaning", "fraction" (0 to 1), "cleaned_size"}. Null: none.
    void SetProgressRecords(QTextStream* out);

    // The line told when Clean() returns false: nothing was removed, and why
    // the run may have been refused.
    static QString NotStartedText();
    // Scans and returns how the scan finished.
    Scope::FinishReason Scan();
    // Cleans what is selected. False when the scope refused to start (nothing
    // to clean); otherwise *reason tells how the run finished.
    bool Clean(Scope::FinishReason* reason);
    // Writes `question` to standard error and reads one line of standard
    // input: "y", "Y" or "yes" is YES, anything else or its end NO, Ctrl-C
    // INTERRUPTED (at once, whether or not a line was being typed).
    static Answer Ask(const QString& question);
    Scope* GetScope() const { return m_scope; }
    // Whether Ctrl-C was pressed while this driver was alive.
    static bool WasInterrupted();
    // Ctrl-C handling as a driver sets it up, for a program that drives
    // several scopes itself (it polls WasInterrupted()); until the program ends.
    static void InstallInterruptHandler();

private:
    Scope::FinishReason Run(bool cleaning);
    void ShowProgress();
    void ClearProgress();
    void WriteProgressRecord();

    Scope* m_scope;
    bool m_showProgress;
    bool m_cleaning = false;
    QTimer m_ticker;
    QTextStream* m_records = nullptr;
    QElapsedTimer m_sinceRecord;
    QString m_lastPath;
};

// --select: checks exactly `items` with what lies below them and unchecks
// the rest of the scope's tree; nothing changes without items. False, with
// nothing changed, when one of them is null (a path not in the tree, which
// the caller has named on standard error).
bool CheckExactly(Varnex::Cleaner::AbstractGarbageScope& scope,
                  const QList<Varnex::Cleaner::AbstractGarbage*>& items);

// What became of the planned paths of a cleaning, as found on the disk.
struct Removal {
    ScopeDriver::Scope::FinishReason reason = ScopeDriver::Scope::FAILED;
    QStringList removed;  // gone
    QStringList kept;     // still there
};
// How each path's outcome is told as it is found: "removed: PATH" and "not
// removed: PATH (why)" lines, "removed" and "failed" (with "error" and
// "message") JSON Lines records, or nothing.
enum class RemovalLines { TEXT, RECORDS, NONE };

// Asks `question` unless `yes`, cleans, and sorts `paths` into *out, telling
// each. Returns -1 when the cleaning ran, otherwise the exit code to end with
// (answered no, interrupted, or the removal could not start), its line
// written on standard error.
int AskAndRemove(ScopeDriver& driver, const QString& question, bool yes, const QStringList& paths,
                 RemovalLines lines, Removal* out);

}  // namespace Klarvik
