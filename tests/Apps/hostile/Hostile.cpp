#include "Hostile.h"

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>

#include "common/TestEnv.h"

namespace Varnex::Test {

Outcome Clean(const QStringList& args) {
    Outcome r;
    r.code = RunProgram(KLARVIK_PROGRAM, QStringList{"clean", "--yes", "--json"} + args, &r.out,
                        &r.err);
    r.json = QJsonDocument::fromJson(r.out).object();
    return r;
}

Hostile::Hostile()
    : m_home("HOME", t.Path("home").toUtf8()),
      m_sysroot("KLARVIK_SYSROOT", t.Path("sys").toUtf8()) {
    t.MakeFile("outside/precious", "the user's thesis");
    t.MakeFile("outside/docs/sub/deep.txt", QByteArray(5000, 'p'));
    t.MakeFile("outside/shared.bin", QByteArray(3000, 's'));
    t.MakeDir("home");
    t.MakeDir("sys");
}

void Hostile::Garbage(const QString& rel, int depth) {
    QString dir = rel;
    for (int i = 0; i < depth; ++i) {
        dir += "/d" + QString::number(i);
        t.MakeFile(dir + "/junk", QByteArray(200 + i, 'j'));
        t.MakeFile(dir + "/odd: name\nremoved: " + t.Path("outside/precious"), "odd");
        t.MakeSymlink(t.Path("outside"), dir + "/to-outside");
        t.MakeSymlink(t.Path("outside/precious"), dir + "/to-precious");
    }
    t.MakeHardLink("outside/shared.bin", rel + "/shared-link.bin");
}

void Hostile::Verify(const Checksums& before, const Outcome& r,
                     const std::vector<std::string>& swapped, bool refusable) const {
    const bool refused =
        refusable && ((r.code == 2 && (r.err.contains("not a file of the scan") ||
                                       r.err.contains("not in the scanned tree") ||
                                       r.err.contains("not a language of the scan") ||
                                       r.err.contains("not an application or a leftover of"))) ||
                      (r.code == 1 && r.err.contains("the removal could not start")));
    EXPECT_TRUE(r.code == 0 || r.code == 1 || refused) << r.code << "\n" << r.err.toStdString();
    EXPECT_TRUE(refused || !r.json.isEmpty())
        << "exit " << r.code << ": " << r.out.toStdString() << r.err.toStdString();
    // What was not removed is never a success.
    EXPECT_TRUE(r.code != 0 || r.json.value("failed").toArray().isEmpty())
        << "exit 0 with failures: " << r.out.toStdString();
    VerifyOutside(before);
    QStringList told;
    for (const QJsonValue& v : r.json.value("removed").toArray()) {
        told.append(v.toString());
    }
    VerifyGone(told, swapped);
}

void Hostile::VerifyOutside(const Checksums& before) const {
    const Checksums after = Snapshot();
    EXPECT_EQ(before.size(), after.size());
    EXPECT_TRUE(before == after) << Diff(before, after);
}

void Hostile::VerifyGone(const QStringList& told, const std::vector<std::string>& swapped) const {
    for (const QString& p : told) {
        const std::string path = p.toStdString();
        bool touched = false;
        for (const std::string& s : swapped) {
            touched = touched || path.rfind(s, 0) == 0;
        }
        if (!touched) {
            EXPECT_FALSE(Lexists(path)) << "told removed, still there: " << path;
        }
    }
}

}  // namespace Varnex::Test
