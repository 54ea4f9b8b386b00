// `klarvik scan|clean --kind app-languages|system-languages`: the real program
// on a sample system root and home.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>

#include "common/TempTree.h"

using Varnex::Test::TempTree;

namespace {

class Sample {
public:
    Sample() {
        const QString res = "sys/Applications/Foo.app/Contents/Resources/";
        tree.MakeFile("sys/Applications/Foo.app/Contents/Info.plist",
                      "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>CFBundleName"
                      "</key><string>Foo</string></dict></plist>\n");
        tree.MakeFile(res + "fr.lproj/a.strings", QByteArray(30, 'f'));
        tree.MakeFile(res + "de.lproj/a.strings", QByteArray(20, 'd'));
        tree.MakeFile(res + "en.lproj/a.strings", QByteArray(10, 'e'));
        tree.MakeFile("sys/Library/Frameworks/X.framework/Resources/it.lproj/b",
                      QByteArray(7, 'i'));
        tree.MakeDir("home");
        env.insert("HOME", tree.Path("home"));
        env.insert("KLARVIK_SYSROOT", tree.Path("sys"));
        env.insert("LANG", "C");
        env.remove("LANGUAGE");
    }

    QJsonObject Run(const QStringList& args, int expectedCode = 0, QString* err = nullptr) const {
        QProcess p;
        p.setProcessEnvironment(env);
        p.start(KLARVIK_PROGRAM, args + QStringList{"--json"});
        EXPECT_TRUE(p.waitForFinished(120000));
        const QString errText = QString::fromUtf8(p.readAllStandardError());
        EXPECT_EQ(p.exitCode(), expectedCode) << errText.toStdString();
        if (err) {
            *err = errText;
        }
        return QJsonDocument::fromJson(p.readAllStandardOutput()).object();
    }

    static QStringList Languages(const QJsonObject& doc) {
        QStringList names;
        for (const QJsonValue& item : doc.value("items").toArray()) {
            names.append(item.toObject().value("name").toString());
        }
        names.sort();
        return names;
    }

    TempTree tree;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
};

}  // namespace

TEST(KlarvikLanguages, ScanShowsLanguagesAndCleanRemovesTheSelectedOne) {
    Sample s;
    const QString res = "sys/Applications/Foo.app/Contents/Resources/";
    const long long french = s.tree.DiskUsage(res + "fr.lproj");
    const QJsonObject apps = s.Run({"scan", "--kind", "app-languages"});
    EXPECT_EQ(Sample::Languages(apps), QStringList({"French", "German"}));
    // The blocks removal would free, as du counts them.
    EXPECT_EQ(apps.value("total_size").toDouble(), french + s.tree.DiskUsage(res + "de.lproj"));
    const QJsonObject system = s.Run({"scan", "--kind", "system-languages"});
    EXPECT_EQ(Sample::Languages(system), QStringList({"Italian"}));

    // Nothing is selected by default: a clean without --select removes nothing.
    s.Run({"clean", "--kind", "app-languages", "--yes"});
    EXPECT_TRUE(s.tree.Exists("sys/Applications/Foo.app/Contents/Resources/fr.lproj"));

    const QJsonObject cleaned =
        s.Run({"clean", "--kind", "app-languages", "--yes", "--select", "language://French"});
    EXPECT_EQ(cleaned.value("removed").toArray().size(), 1);
    EXPECT_EQ(cleaned.value("cleaned_size").toDouble(), french);
    EXPECT_FALSE(s.tree.Exists("sys/Applications/Foo.app/Contents/Resources/fr.lproj"));
    EXPECT_TRUE(s.tree.Exists("sys/Applications/Foo.app/Contents/Resources/de.lproj/a.strings"));
    EXPECT_TRUE(s.tree.Exists("sys/Applications/Foo.app/Contents/Resources/en.lproj/a.strings"));
    EXPECT_EQ(Sample::Languages(s.Run({"scan", "--kind", "app-languages"})),
              QStringList({"German"}));

    s.Run({"scan", "--kind", "app-languages", "/x"}, 2);
    s.Run({"scan", "--kind", "app-languages", "--select", "language://Klingon"}, 2);
}

// A localization the application's code signature seals is listed with its
// reason, counted in error, and stays when its language is cleaned.
TEST(KlarvikLanguages, ASealedLocalizationIsToldAndKept) {
    Sample s;
    s.tree.MakeFile("sys/Applications/Foo.app/Contents/_CodeSignature/CodeResources",
                    "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>files2</key><dict>"
                    "<key>Resources/de.lproj/a.strings</key><dict><key>hash2</key>"
                    "<data>AAAA</data></dict></dict></dict></plist>");
    const QJsonObject scanned = s.Run({"scan", "--kind", "app-languages"});
    EXPECT_EQ(scanned.value("items_in_error").toInt(), 1);
    s.Run({"clean", "--kind", "app-languages", "--yes", "--select", "language://German"});
    EXPECT_TRUE(s.tree.Exists("sys/Applications/Foo.app/Contents/Resources/de.lproj/a.strings"));

    // The only folder of a language holds an excluded file: it is kept, and
    // the refusal says that nothing was removed and where to look.
    s.tree.MakeFile("sys/Applications/Foo.app/Contents/Resources/fr.lproj/keep.txt", "k");
    QString err;
    s.Run({"clean", "--kind", "app-languages", "--yes", "--select", "language://French",
           "--exclude", "keep.txt"},
          1, &err);
    EXPECT_TRUE(err.contains("nothing was removed") && err.contains("--verbose"))
        << err.toStdString();
    EXPECT_TRUE(s.tree.Exists("sys/Applications/Foo.app/Contents/Resources/fr.lproj/keep.txt"));
    EXPECT_TRUE(s.tree.Exists("sys/Applications/Foo.app/Contents/Resources/fr.lproj/a.strings"));
}
