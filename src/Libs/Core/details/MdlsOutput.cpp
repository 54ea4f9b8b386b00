#include "Core/details/MdlsOutput.h"

#include <QRegularExpression>
#include <QStringList>

namespace Varnex::Cleaner::Details {

namespace {

const QString lastUsedAttribute = QStringLiteral("kMDItemLastUsedDate");
const QString mdlsDateFormat = QStringLiteral("yyyy-MM-dd HH:mm:ss");

}  // namespace

bool MdlsOutput::ParseUtcOffset(const QString& text, int* seconds) {
    static const QRegularExpression pattern(QStringLiteral("^([+-])(\\d\\d)(\\d\\d)$"));
    const QRegularExpressionMatch match = pattern.match(text);
    if (!match.hasMatch()) {
        return false;
    }
    const int hours = match.captured(2).toInt();
    const int minutes = match.captured(3).toInt();
    if (hours > 14 || minutes > 59) {
        return false;
    }
    const int sign = match.captured(1) == QLatin1String("-") ? -1 : 1;
    *seconds = sign * (hours * 3600 + minutes * 60);
    return true;
}

QDateTime MdlsOutput::ParseLastUsedDate(const QString& output) {
    const QString line = output.trimmed();
    if (line.contains(QLatin1Char('\n')) || line.contains(QLatin1Char('\r'))) {
        return QDateTime();
    }
    const QStringList parts = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (parts.size() != 5 || parts[0] != lastUsedAttribute || parts[1] != QLatin1String("=")) {
        return QDateTime();
    }
    int offset = 0;
    if (!ParseUtcOffset(parts[4], &offset)) {
        return QDateTime();
    }
    QDateTime when = QDateTime::fromString(parts[2] + QLatin1Char(' ') + parts[3], mdlsDateFormat);
    if (!when.isValid()) {
        return QDateTime();
    }
    when.setOffsetFromUtc(offset);
    return when.toLocalTime();
}

}  // namespace Varnex::Cleaner::Details
