#include "CleanerCommon/Sizes.h"

#include <QRegularExpression>
#include <climits>
#include <cmath>

namespace Varnex::Cleaner {

namespace {

const char* const sizeUnits[] = {"B", "KB", "MB", "GB", "TB", "PB", "EB"};
const int lastSizeUnit = 6;
const long long blockSize = 4096;

struct Unit {
    const char* name;
    long double factor;
};

const Unit sizeFactors[] = {{"", 1.0L},
                            {"b", 1.0L},
                            {"byte", 1.0L},
                            {"bytes", 1.0L},
                            {"k", 1024.0L},
                            {"kb", 1024.0L},
                            {"kib", 1024.0L},
                            {"m", 1048576.0L},
                            {"mb", 1048576.0L},
                            {"mib", 1048576.0L},
                            {"g", 1073741824.0L},
                            {"gb", 1073741824.0L},
                            {"gib", 1073741824.0L},
                            {"t", 1099511627776.0L},
                            {"tb", 1099511627776.0L},
                            {"tib", 1099511627776.0L},
                            {"p", 1125899906842624.0L},
                            {"pb", 1125899906842624.0L},
                            {"pib", 1125899906842624.0L}};

const Unit frequencyFactors[] = {
    {"", 1.0L}, {"hz", 1.0L}, {"khz", 1e3L}, {"mhz", 1e6L}, {"ghz", 1e9L}};

// A number, one optional decimal part after '.' or ',', optional blanks, then
// letters for the unit. Nothing may precede or follow.
const QRegularExpression& ValuePattern() {
    static const QRegularExpression pattern(
        QStringLiteral("^([0-9]+)(?:[.,]([0-9]+))?\\s*([A-Za-z]*)$"));
    return pattern;
}

template <std::size_t N>
long long ParseScaled(const QString& text, const Unit (&units)[N]) {
    const QRegularExpressionMatch match = ValuePattern().match(text.trimmed());
    if (!match.hasMatch()) {
        return -1;
    }
    const QString unit = match.captured(3).toLower();
    const Unit* found = nullptr;
    for (const Unit& candidate : units) {
        if (unit == QLatin1String(candidate.name)) {
            found = &candidate;
            break;
        }
    }
    if (!found) {
        return -1;
    }
    // Digits are read by hand: no locale, no precision lost on long integers.
    long double value = 0;
    for (const QChar c : match.capturedRef(1)) {
        value = value * 10 + (c.unicode() - '0');
        if (value > static_cast<long double>(LLONG_MAX)) {
            return -1;
        }
    }
    long double scale = 0.1L;
    for (const QChar c : match.capturedRef(2)) {
        value += (c.unicode() - '0') * scale;
        scale /= 10;
    }
    const long double result = std::round(value * found->factor);
    // LLONG_MAX itself is not representable exactly; stay strictly below 2^63.
    if (result >= 9223372036854775807.0L) {
        return -1;
    }
    return static_cast<long long>(result);
}

QString WithSign(bool negative, const QString& text) {
    return negative ? QLatin1Char('-') + text : text;
}

}  // namespace

QString FormatSize(long long bytes, int precision) {
    precision = qBound(0, precision, 6);
    const bool negative = bytes < 0;
    const unsigned long long magnitude = negative ? 0ULL - static_cast<unsigned long long>(bytes)
                                                  : static_cast<unsigned long long>(bytes);
    if (magnitude < 1024) {
        return WithSign(negative, QString::number(magnitude) + QLatin1String(" B"));
    }
    long double value = static_cast<long double>(magnitude);
    int unit = 0;
    while (value >= 1024 && unit < lastSizeUnit) {
        value /= 1024;
        ++unit;
    }
    QString number = QString::number(static_cast<double>(value), 'f', precision);
    if (unit < lastSizeUnit && number.toDouble() >= 1024) {
        value /= 1024;
        ++unit;
        number = QString::number(static_cast<double>(value), 'f', precision);
    }
    return WithSign(negative, number + QLatin1Char(' ') + QLatin1String(sizeUnits[unit]));
}

long long ParseSize(const QString& text) {
    return ParseScaled(text, sizeFactors);
}

long long ParseFrequency(const QString& text) {
    return ParseScaled(text, frequencyFactors);
}

QString FormatFrequencyGHz(long long hz, int precision) {
    precision = qBound(0, precision, 6);
    return QString::number(static_cast<double>(hz) / 1e9, 'f', precision) + QLatin1String(" GHz");
}

QString FormatFrequencyMHz(long long hz) {
    return QString::number(std::llround(static_cast<double>(hz) / 1e6)) + QLatin1String(" MHz");
}

long long RoundSize4K(long long size) {
    if (size <= 0) {
        return 0;
    }
    const long long blocks = size / blockSize + (size % blockSize != 0 ? 1 : 0);
    if (blocks > LLONG_MAX / blockSize) {
        return (LLONG_MAX / blockSize) * blockSize;
    }
    return blocks * blockSize;
}

}  // namespace Varnex::Cleaner
