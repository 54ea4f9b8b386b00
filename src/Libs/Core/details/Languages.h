#pragma once

#include <QString>
#include <cstddef>

namespace Varnex::Cleaner::Details {

// One language of the ISO 639-2 list: its English name and codes, UTF-8.
// The ISO 639-1 code is empty for languages that have none; the two ISO 639-2
// codes differ only for the few languages with a separate bibliographic code
// ("fre"/"fra", "ger"/"deu").
struct LanguageInfo {
    const char* name;
    const char* iso639_1;
    const char* iso639_2T;
    const char* iso639_2B;

    QString GetName() const { return QString::fromUtf8(name); }
    bool IsEmpty() const { return !name || !*name; }
};

// The table: every English name of a code is a row of its own, right after the
// code's main name; codes in the alphabetical order of their main names. Where
// a historic or regional form is shown under today's language ("nds" and "frm"
// under German and French), that row comes before the form's own name.
extern const LanguageInfo languages[];
extern const std::size_t languageCount;

// The row with every text empty.
extern const LanguageInfo emptyLanguageInfo;

// The first row, in table order, whose ISO 639-1 code, terminology code,
// bibliographic code or English name equals `code` exactly (letter case
// matters); emptyLanguageInfo when none does or `code` is empty. A folder
// name of old ("French") finds its language as a code does ("fr").
// Any thread; constant time after the first call.
const LanguageInfo& FindLanguage(const QString& code);

}  // namespace Varnex::Cleaner::Details
