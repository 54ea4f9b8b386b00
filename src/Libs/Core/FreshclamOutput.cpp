#include "Core/FreshclamOutput.h"

#include <glog/logging.h>

#include <QRegularExpression>
#include <QStringList>

namespace Varnex::Cleaner::Details {

namespace {

bool IsLineEnd(char c) {
    return c == '\n' || c == '\r' || c == '\0';
}

// A database file as freshclam names it: "daily.cvd", "main.cld",
// "daily-27001.cdiff". Nothing with a path, blanks or other punctuation.
const QRegularExpression& DownloadedFilePattern() {
    static const QRegularExpression pattern(
        QStringLiteral("^[A-Za-z0-9_]+(\\.cvd|\\.cld|-[0-9]{1,10}\\.cdiff)$"));
    return pattern;
}

const QRegularExpression& DatabaseFilePattern() {
    static const QRegularExpression pattern(QStringLiteral("^[A-Za-z0-9_]+\\.(cvd|cld)$"));
    return pattern;
}

// A word ending in ".cvd", as the failed-increment line names the whole
// database it falls back to.
const QRegularExpression& FallbackPattern() {
    static const QRegularExpression pattern(QStringLiteral("\\b(\\w+)\\.cvd\\b"));
    return pattern;
}

QStringList Pieces(const QString& text) {
    return text.split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

// "Downloading daily.cvd [ 42%]": the file and the percentage inside the last
// brackets, which freshclam pads with blanks.
bool ParseProgress(const QString& line, FreshclamOutput::Event* event) {
    const QString text = line.trimmed();
    if (!text.endsWith(QLatin1String("%]"))) {
        return false;
    }
    const int open = text.lastIndexOf(QLatin1Char('['));
    if (open < 0) {
        return false;
    }
    const QStringList head = Pieces(text.left(open));
    if (head.size() != 2 || head[0] != QLatin1String("Downloading") ||
        !DownloadedFilePattern().match(head[1]).hasMatch()) {
        return false;
    }
    const QString percentText = text.mid(open + 1, text.size() - open - 3).trimmed();
    if (percentText.isEmpty() || percentText.size() > 3) {
        return false;
    }
    for (const QChar c : percentText) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9')) {
            return false;
        }
    }
    const int percent = percentText.toInt();
    if (percent > 100) {
        return false;
    }
    event->kind = FreshclamOutput::Event::PROGRESS;
    event->name = head[1];
    event->fraction = static_cast<float>(percent) / 100.0f;
    return true;
}

}  // namespace

std::vector<FreshclamOutput::Event> FreshclamOutput::Feed(const QByteArray& chunk) {
    std::vector<Event> events;
    int start = 0;
    for (int i = 0; i < chunk.size(); ++i) {
        if (!IsLineEnd(chunk[i])) {
            continue;
        }
        if (m_skipping) {
            m_skipping = false;  // the end of the dropped line
        } else {
            m_tail.append(chunk.constData() + start, i - start);
            if (static_cast<std::size_t>(m_tail.size()) > lineLimit) {
                DoDropLongLine();
                m_skipping = false;
            } else {
                DoLine(m_tail, &events);
            }
        }
        m_tail.clear();
        start = i + 1;
    }
    if (!m_skipping && start < chunk.size()) {
        m_tail.append(chunk.constData() + start, chunk.size() - start);
        if (static_cast<std::size_t>(m_tail.size()) > lineLimit) {
            DoDropLongLine();
        }
    }
    return events;
}

std::vector<FreshclamOutput::Event> FreshclamOutput::Finish() {
    std::vector<Event> events;
    if (!m_skipping && !m_tail.isEmpty()) {
        DoLine(m_tail, &events);
    }
    m_tail.clear();
    m_skipping = false;
    return events;
}

void FreshclamOutput::DoDropLongLine() {
    if (!m_warnedLongLine) {
        m_warnedLongLine = true;
        LOG(WARNING) << "freshclam printed a line longer than " << lineLimit
                     << " bytes; such lines are dropped";
    }
    m_tail.clear();
    m_skipping = true;
}

void FreshclamOutput::DoLine(const QByteArray& line, std::vector<Event>* events) {
    if (line.isEmpty()) {
        return;
    }
    Event event;
    if (ParseLine(QString::fromLocal8Bit(line), &event)) {
        events->push_back(event);
    }
}

bool FreshclamOutput::ParseLine(const QString& line, Event* event) {
    if (line.startsWith(QLatin1String("Downloading"))) {
        return ParseProgress(line, event);
    }
    if (line.contains(QLatin1String("is up to date")) ||
        line.contains(QLatin1String("is up-to-date"))) {
        const QStringList pieces = Pieces(line);
        if (pieces.isEmpty() || !DatabaseFilePattern().match(pieces[0]).hasMatch()) {
            return false;
        }
        event->kind = Event::UP_TO_DATE;
        event->name = pieces[0];
        return true;
    }
    if (line.contains(QLatin1String("Incremental update failed"))) {
        const QRegularExpressionMatch match = FallbackPattern().match(line);
        if (!match.hasMatch()) {
            LOG(WARNING) << "freshclam reported a failed increment without naming a database";
            return false;
        }
        event->kind = Event::INCREMENTAL_FAILED;
        event->name = match.captured(1);
        return true;
    }
    const QStringList pieces = Pieces(line);
    if (pieces.size() >= 2 && pieces[1] == QLatin1String("updated") &&
        DatabaseFilePattern().match(pieces[0]).hasMatch()) {
        event->kind = Event::UPDATED;
        event->name = pieces[0];
        return true;
    }
    return false;
}

QString FreshclamOutput::DatabaseName(const QString& file) {
    int end = file.size();
    for (int i = 0; i < file.size(); ++i) {
        if (file[i] == QLatin1Char('.') || file[i] == QLatin1Char('-')) {
            end = i;
            break;
        }
    }
    return file.left(end);
}

}  // namespace Varnex::Cleaner::Details
