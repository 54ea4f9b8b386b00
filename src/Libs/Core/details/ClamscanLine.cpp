#include "Core/details/ClamscanLine.h"

namespace Varnex::Cleaner::Details {

namespace {

const QByteArray resultSeparator = QByteArrayLiteral(": ");
const QByteArray foundSuffix = QByteArrayLiteral(" FOUND");
const QByteArray summaryLine = QByteArrayLiteral("----------- SCAN SUMMARY -----------");
const QByteArray errorsLine = QByteArrayLiteral("Total errors: ");

}  // namespace

ClamscanLine ClamscanLine::Parse(const QByteArray& line, bool summarySeen) {
    ClamscanLine parsed;
    if (!line.startsWith('/')) {
        if (line == summaryLine) {
            parsed.kind = SUMMARY;
        } else if (summarySeen && line.startsWith(errorsLine)) {
            parsed.kind = ERRORS;
            parsed.errors = line.mid(errorsLine.size()).trimmed().toLongLong();
        }
        return parsed;
    }
    const int cut = line.lastIndexOf(resultSeparator);
    if (cut <= 0 || line.contains('\0')) {
        return parsed;
    }
    parsed.kind = RESULT;
    parsed.path = line.left(cut);
    parsed.result = line.mid(cut + resultSeparator.size());
    return parsed;
}

bool ClamscanLine::IsFound() const {
    return kind == RESULT && result.endsWith(foundSuffix);
}

QString ClamscanLine::VirusName() const {
    return IsFound() ? QString::fromUtf8(result.chopped(foundSuffix.size())) : QString();
}

bool ClamscanLine::IsPlausibleVirusName(const QString& name) {
    if (name.isEmpty() || name.size() > maxVirusNameLength) {
        return false;
    }
    for (const QChar c : name) {
        if (c.category() == QChar::Other_Control) {
            return false;
        }
    }
    return true;
}

}  // namespace Varnex::Cleaner::Details
