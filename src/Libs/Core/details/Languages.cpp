#include "Core/details/Languages.h"

#include <QHash>

namespace Varnex::Cleaner::Details {

const LanguageInfo emptyLanguageInfo = {"", "", "", ""};

namespace {

// Every text of every row, mapped to the first row that has it: the same
// answer as walking the table, without walking it once per folder.
QHash<QString, const LanguageInfo*> BuildIndex() {
    QHash<QString, const LanguageInfo*> index;
    index.reserve(static_cast<int>(languageCount * 3));
    for (std::size_t i = 0; i < languageCount; ++i) {
        const LanguageInfo& row = languages[i];
        for (const char* text : {row.iso639_1, row.iso639_2T, row.iso639_2B, row.name}) {
            if (text && *text) {
                const QString key = QString::fromUtf8(text);
                if (!index.contains(key)) {
                    index.insert(key, &row);
                }
            }
        }
    }
    return index;
}

}  // namespace

const LanguageInfo& FindLanguage(const QString& code) {
    if (code.isEmpty()) {
        return emptyLanguageInfo;
    }
    static const QHash<QString, const LanguageInfo*> index = BuildIndex();
    const LanguageInfo* row = index.value(code, nullptr);
    return row ? *row : emptyLanguageInfo;
}

}  // namespace Varnex::Cleaner::Details
