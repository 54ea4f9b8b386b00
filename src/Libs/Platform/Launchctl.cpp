#include "Platform/Launchctl.h"

#include <glog/logging.h>

#include <QList>

#include "Platform/PathCodec.h"
#include "Platform/ToolRun.h"

namespace Varnex::Platform {

namespace {

const QString launchctl = QStringLiteral("launchctl");
const QByteArray header = QByteArrayLiteral("PID\tStatus\tLabel");

bool IsNumber(const QByteArray& text, bool mayBeNegative) {
    int at = mayBeNegative && text.startsWith('-') ? 1 : 0;
    if (at == text.size()) {
        return false;
    }
    for (; at < text.size(); ++at) {
        if (text.at(at) < '0' || text.at(at) > '9') {
            return false;
        }
    }
    return true;
}

// A control character in a label would forge a log line.
std::string Shown(const QString& text) {
    QString out;
    for (const QChar c : text) {
        out += c.unicode() < 0x20 || c.unicode() == 0x7f
                   ? QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'))
                   : QString(c);
    }
    return out.toStdString();
}

}  // namespace

LaunchJobListing ParseLaunchctlList(const QByteArray& output) {
    LaunchJobListing listing;
    listing.ok = true;
    const QList<QByteArray> lines = output.split('\n');
    for (int i = 0; i < lines.size(); ++i) {
        const QByteArray& line = lines.at(i);
        if (i == 0 && line == header) {
            listing.header = true;
            continue;
        }
        if (line.isEmpty()) {
            continue;
        }
        const QList<QByteArray> columns = line.split('\t');
        if (columns.size() != 3) {
            ++listing.badLines;
            continue;
        }
        const QByteArray& pid = columns.at(0);
        const QByteArray& status = columns.at(1);
        const QByteArray& label = columns.at(2);
        QString text;
        if ((pid != "-" && !IsNumber(pid, false)) || (status != "-" && !IsNumber(status, true)) ||
            label.isEmpty() || !DecodePath(label.constData(), static_cast<std::size_t>(label.size()), &text)) {
            ++listing.badLines;
            continue;
        }
        listing.labels.insert(text);
    }
    return listing;
}

LaunchJobListing ListLaunchJobs(int timeLimitMs, const std::atomic<bool>* cancel) {
    const ToolOutcome outcome =
        RunTool(launchctl, {QStringLiteral("list")}, timeLimitMs, 16 << 20, cancel);
    LaunchJobListing listing;
    if (outcome.Succeeded()) {
        listing = ParseLaunchctlList(outcome.output);
        if (!listing.header) {
            listing.problem = QStringLiteral("launchctl list printed no listing");
        } else if (listing.badLines > 0) {
            listing.problem =
                QStringLiteral("launchctl list printed %1 that cannot be read")
                    .arg(listing.badLines == 1 ? QStringLiteral("a line")
                                               : QStringLiteral("%1 lines").arg(listing.badLines));
        }
    } else {
        listing.problem = QStringLiteral("launchctl list ") + outcome.Describe();
    }
    if (!listing.problem.isEmpty()) {
        listing.ok = false;
        LOG(WARNING) << "Can't tell which launch jobs are loaded: " << Shown(listing.problem);
    }
    return listing;
}

bool SwitchLaunchJob(const QString& path, bool load, QString* problem, int timeLimitMs,
                     const std::atomic<bool>* cancel) {
    const QString verb = load ? QStringLiteral("load") : QStringLiteral("unload");
    std::string bytes;
    ToolOutcome outcome;
    // The path goes to the tool as the bytes of the file, or not at all (Qt
    // hands arguments over in the locale's encoding).
    if (EncodePath(path, &bytes) && path.toLocal8Bit() == QByteArray::fromStdString(bytes)) {
        outcome =
            RunTool(launchctl, {verb, QStringLiteral("-w"), path}, timeLimitMs, 16 << 20, cancel);
    } else {
        outcome.errorTail = "the path cannot be handed over";
    }
    if (outcome.Succeeded()) {
        return true;
    }
    const QString text = QStringLiteral("launchctl %1 ").arg(verb) + outcome.Describe();
    LOG(WARNING) << "\"" << Shown(path) << "\": " << Shown(text);
    if (problem) {
        *problem = text;
    }
    return false;
}

}  // namespace Varnex::Platform
