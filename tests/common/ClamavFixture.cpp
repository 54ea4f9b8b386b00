#include "common/ClamavFixture.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace Varnex::Test {

namespace {

const char systemClamscan[] = "/usr/bin/clamscan";

void WriteFile(const QString& path, const QByteArray& content, bool executable) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(content) != content.size()) {
        ADD_FAILURE() << "can't write " << path.toStdString();
        return;
    }
    file.close();
    if (executable) {
        ::chmod(QFile::encodeName(path).constData(), 0755);
    }
}

QByteArray ShellQuoted(const QByteArray& text) {
    QByteArray quoted = text;
    quoted.replace('\'', "'\\''");
    return '\'' + quoted + '\'';
}

}  // namespace

QByteArray ClamavFixture::Marker() {
    return QByteArrayLiteral("KLARVIK-TEST-MARKER-5d41402abc4b2a76");
}

QString ClamavFixture::VirusName() {
    // Signatures outside the official databases are marked so by clamscan.
    return QStringLiteral("Klarvik.Test.Marker.UNOFFICIAL");
}

bool ClamavFixture::HasClamscan() {
    return QFileInfo(QString::fromLatin1(systemClamscan)).isExecutable();
}

ClamavFixture::ClamavFixture(const QString& prefix, const QString& version) : m_prefix(prefix) {
    WriteFile(ClamscanPath(), QByteArray("#!/bin/sh\nexec ") + systemClamscan + " \"$@\"\n", true);
    WriteFile(m_prefix + QStringLiteral("/engine/bin/freshclam"), "#!/bin/sh\nexit 0\n", true);
    WriteFile(m_prefix + QStringLiteral("/engine/version"), version.toUtf8() + '\n', false);
    WriteFile(DatabaseFolder() + QStringLiteral("/klarvik-test.ndb"),
              "Klarvik.Test.Marker:0:*:" + Marker().toHex() + '\n', false);
}

void ClamavFixture::InjectBeforeTreeScans(const QByteArray& lines) const {
    WriteFile(ClamscanPath(),
              "#!/bin/sh\n"
              "for a in \"$@\"; do [ \"$a\" = -r ] && printf '%s' " +
                  ShellQuoted(lines) +
                  "; done\n"
                  "exec " +
                  systemClamscan + " \"$@\"\n",
              true);
}

void ClamavFixture::ReplaceClamscan(const QByteArray& script) const {
    WriteFile(ClamscanPath(), "#!/bin/sh\n" + script, true);
}

void ClamavFixture::RemoveDatabases() const {
    QDir db(DatabaseFolder());
    for (const QString& name : db.entryList(QDir::Files)) {
        db.remove(name);
    }
}

}  // namespace Varnex::Test
