#include <gtest/gtest.h>

#include <QSet>

#include "Core/details/Languages.h"

using namespace Varnex::Cleaner::Details;

namespace {

int RowOf(const QString& name, const QString& code) {
    for (std::size_t i = 0; i < languageCount; ++i) {
        if (languages[i].GetName() == name && QString::fromUtf8(languages[i].iso639_2T) == code) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

}  // namespace

TEST(Languages, FirstRowWinsForCodesAndOldFolderNames) {
    EXPECT_EQ(FindLanguage("nds").GetName(), "German");
    EXPECT_EQ(FindLanguage("nb").GetName(), "Bokmal, Norwegian");
    EXPECT_EQ(FindLanguage("nob").GetName(), "Bokmal, Norwegian");
    EXPECT_STREQ(FindLanguage("French").iso639_1, "fr");
    EXPECT_EQ(FindLanguage("fre").GetName(), "French");
    EXPECT_EQ(FindLanguage("deu").GetName(), "German");
    EXPECT_EQ(FindLanguage("en").GetName(), "English");
    EXPECT_EQ(FindLanguage("grc").GetName(), "Ancient Greek");
    EXPECT_EQ(FindLanguage("el").GetName(), "Greek");
    EXPECT_EQ(FindLanguage("Flemish").GetName(), "Flemish");
    EXPECT_STREQ(FindLanguage("Castilian").iso639_2T, "spa");
    EXPECT_EQ(FindLanguage("Low German").GetName(), "Low German");
}

TEST(Languages, NothingMatchesEmptyCodesOtherCaseOrBase) {
    EXPECT_EQ(&FindLanguage(QString()), &emptyLanguageInfo);
    EXPECT_EQ(&FindLanguage("Base"), &emptyLanguageInfo);
    EXPECT_EQ(&FindLanguage("FR"), &emptyLanguageInfo);
    EXPECT_EQ(&FindLanguage("french"), &emptyLanguageInfo);
    EXPECT_TRUE(emptyLanguageInfo.IsEmpty());
    EXPECT_STREQ(emptyLanguageInfo.iso639_1, "");
    EXPECT_STREQ(emptyLanguageInfo.iso639_2T, "");
    EXPECT_STREQ(emptyLanguageInfo.iso639_2B, "");
}

TEST(Languages, TellingRowsKeepTheirOrder) {
    const int order[] = {
        RowOf("Dutch", "nld"),      RowOf("Flemish", "nld"),
        RowOf("English", "eng"),    RowOf("English, Middle (1100-1500)", "enm"),
        RowOf("French", "fra"),     RowOf("French", "frm"),
        RowOf("French", "fro"),     RowOf("German", "deu"),
        RowOf("German", "nds"),     RowOf("German", "gmh"),
        RowOf("German", "goh"),     RowOf("Ancient Greek", "grc"),
        RowOf("Greek", "ell"),      RowOf("Bokmal, Norwegian", "nob"),
        RowOf("Norwegian", "nor"),  RowOf("Norwegian Bokmal", "nob"),
        RowOf("Low German", "nds"), RowOf("Spanish", "spa"),
        RowOf("Castilian", "spa"),
    };
    for (std::size_t i = 0; i < sizeof(order) / sizeof(order[0]); ++i) {
        ASSERT_GE(order[i], 0) << i;
        if (i > 0) {
            EXPECT_LT(order[i - 1], order[i]) << i;
        }
    }
    // German rows for the old forms come right after German itself.
    EXPECT_EQ(RowOf("German", "nds"), RowOf("German", "deu") + 1);
    EXPECT_STREQ(languages[RowOf("Dutch", "nld")].iso639_2B, "dut");
    EXPECT_EQ(languages[0].GetName(), "Abkhazian");
    EXPECT_EQ(languages[languageCount - 1].GetName(), "Zuni");
    // No row is empty, and the shown names are ASCII where the ISO list is not.
    for (std::size_t i = 0; i < languageCount; ++i) {
        EXPECT_FALSE(languages[i].IsEmpty()) << i;
        EXPECT_STRNE(languages[i].iso639_2T, "") << i;
    }
}
