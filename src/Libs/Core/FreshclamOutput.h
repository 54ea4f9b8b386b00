#pragma once

#include <QByteArray>
#include <QString>
#include <cstddef>
#include <vector>

namespace Varnex::Cleaner::Details {

// Turns the console output of the ClamAV updater (freshclam), as it arrives
// in chunks from its standard output or error, into events for the update
// plan. Lines end with "\n", "\r" (a progress redraw) or a zero byte; a line
// split across chunks is joined, the unfinished tail of a chunk waits for the
// next one, Finish() hands over a last line without an end. The same text
// gives the same events however it is cut into chunks.
//
// The output is treated as hostile: a line longer than lineLimit bytes is
// dropped whole (one WARNING per parser), lines that match nothing are passed
// over, and only plain database file names are reported.
//
// Recognised lines (the first rule that matches applies):
//   "Downloading daily.cvd [ 42%]", "Downloading daily-27001.cdiff [100%]"
//       -> PROGRESS, name = the file, fraction 0..1 (a percentage that is not
//          a whole number 0..100 drops the line);
//   "daily.cvd is up to date (...)", "daily.cld database is up-to-date (...)"
//       -> UP_TO_DATE, name = the file (.cvd or .cld);
//   "... Incremental update failed ... daily.cvd ..."
//       -> INCREMENTAL_FAILED, name = the database ("daily");
//   "daily.cld updated (version: 27001, ...)", "daily.cvd updated"
//       -> UPDATED, name = the file.
class FreshclamOutput {
public:
    static constexpr std::size_t lineLimit = 64 * 1024;

    struct Event {
        enum Kind { PROGRESS, UP_TO_DATE, INCREMENTAL_FAILED, UPDATED };

        Kind kind = PROGRESS;
        QString name;
        float fraction = 0;  // PROGRESS only

        bool operator==(const Event& other) const {
            return kind == other.kind && name == other.name && fraction == other.fraction;
        }
    };

    std::vector<Event> Feed(const QByteArray& chunk);
    // Ends the output: the last line without a line end is parsed, and the
    // parser is ready for the output of another run.
    std::vector<Event> Finish();

    // Parses one complete line (without its end).
    static bool ParseLine(const QString& line, Event* event);
    // The database a file name belongs to: "daily" for "daily.cvd",
    // "daily.cld" and "daily-27001.cdiff".
    static QString DatabaseName(const QString& file);

private:
    void DoLine(const QByteArray& line, std::vector<Event>* events);
    void DoDropLongLine();

    QByteArray m_tail;
    bool m_skipping = false;  // inside a line already longer than lineLimit
    bool m_warnedLongLine = false;
};

}  // namespace Varnex::Cleaner::Details
