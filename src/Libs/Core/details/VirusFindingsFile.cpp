#include "Core/details/VirusFindingsFile.h"

#include <glog/logging.h>

#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include "CleanerCommon/LogText.h"
#include "Platform/PathCodec.h"

namespace Varnex::Cleaner::Details {

namespace {

const QByteArray separator = QByteArrayLiteral(", ");
const QByteArray markerLine = QByteArrayLiteral("#klarvik-findings 2");
// Far beyond any real list of findings; a larger file is not ours.
const qint64 maxFileBytes = 64 << 20;

bool ParseSize(const QByteArray& text, long long* size) {
    bool ok = false;
    const long long value = text.toLongLong(&ok);
    if (!ok || value < 0) {
        return false;
    }
    *size = value;
    return true;
}

// A field's text. Strict UTF-8 only: Qt would turn bad bytes into U+FFFD and
// cut the text at a zero byte ("%00" in the new form), and either would give
// a path or a name that the file does not hold.
bool DecodeField(const QByteArray& bytes, QString* out) {
    return Platform::DecodePath(bytes.constData(), static_cast<std::size_t>(bytes.size()), out);
}

// "<path>, <name>, <size>" split at its last two separators.
bool ParseOldLine(const QByteArray& line, VirusFindingsFile::Finding* out) {
    const int last = line.lastIndexOf(separator);
    if (last <= 0) {
        return false;
    }
    const int middle = line.lastIndexOf(separator, last - 1);
    if (middle <= 0 || !ParseSize(line.mid(last + separator.size()), &out->size)) {
        return false;
    }
    return DecodeField(line.left(middle), &out->path) &&
           DecodeField(line.mid(middle + separator.size(), last - middle - separator.size()),
                       &out->name);
}

// Percent-encoded path and name, then the size.
bool ParseLine(const QByteArray& line, VirusFindingsFile::Finding* out) {
    const QList<QByteArray> pieces = line.split(',');
    if (pieces.size() != 3 || !ParseSize(pieces[2].trimmed(), &out->size)) {
        return false;
    }
    return DecodeField(QByteArray::fromPercentEncoding(pieces[0].trimmed()), &out->path) &&
           DecodeField(QByteArray::fromPercentEncoding(pieces[1].trimmed()), &out->name) &&
           !out->path.isEmpty();
}

}  // namespace

std::vector<VirusFindingsFile::Finding> VirusFindingsFile::Load(const QString& path,
                                                                long long* handled) {
    *handled = -1;
    std::vector<Finding> findings;
    QFile file(path);
    if (!file.exists()) {
        return findings;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        LOG(WARNING) << "Can't read the last scan's findings \"" << Util::LogText(path)
                     << "\": " << Util::LogText(file.errorString());
        return findings;
    }
    if (file.size() > maxFileBytes || file.size() < 8) {
        LOG(WARNING) << "Ignoring the last scan's findings \"" << Util::LogText(path)
                     << "\": " << file.size() << " bytes is not a list of findings";
        return findings;
    }
    QDataStream stream(&file);
    stream.setByteOrder(QDataStream::BigEndian);
    qint64 count = -1;
    stream >> count;
    *handled = count < 0 ? -1 : count;
    QByteArray rest = file.readAll();
    const int zero = rest.indexOf('\0');
    if (zero >= 0) {
        rest.truncate(zero);
    }
    bool encoded = false;
    int skipped = 0;
    for (const QByteArray& line : rest.split('\n')) {
        if (line.isEmpty()) {
            continue;
        }
        if (line == markerLine) {
            encoded = true;
            continue;
        }
        Finding finding;
        if (encoded ? ParseLine(line, &finding) : ParseOldLine(line, &finding)) {
            findings.push_back(std::move(finding));
        } else {
            ++skipped;
        }
    }
    if (skipped > 0) {
        LOG(WARNING) << "Skipped " << skipped << " unreadable lines of \"" << Util::LogText(path)
                     << "\"";
    }
    return findings;
}

bool VirusFindingsFile::Save(const QString& path, long long handled,
                             const std::vector<Finding>& findings) {
    const QString folder = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(folder)) {
        LOG(WARNING) << "Can't save the scan's findings: can't create \"" << Util::LogText(folder)
                     << "\"";
        return false;
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        LOG(WARNING) << "Can't save the scan's findings to \"" << Util::LogText(path)
                     << "\": " << Util::LogText(file.errorString());
        return false;
    }
    QByteArray bytes;
    {
        QDataStream stream(&bytes, QIODevice::WriteOnly);
        stream.setByteOrder(QDataStream::BigEndian);
        stream << static_cast<qint64>(handled);
    }
    bytes += markerLine + '\n';
    for (const Finding& finding : findings) {
        bytes += finding.path.toUtf8().toPercentEncoding("/") + separator +
                 finding.name.toUtf8().toPercentEncoding() + separator +
                 QByteArray::number(finding.size) + '\n';
    }
    // commit() does not see a failure of the last buffered write: flush() does.
    if (file.write(bytes) != bytes.size() || !file.flush() || !file.commit()) {
        LOG(WARNING) << "Can't save the scan's findings to \"" << Util::LogText(path)
                     << "\": " << Util::LogText(file.errorString());
        return false;
    }
    return true;
}

}  // namespace Varnex::Cleaner::Details
