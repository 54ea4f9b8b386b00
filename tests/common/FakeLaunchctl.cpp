#include "common/FakeLaunchctl.h"

#include <QFile>

namespace Varnex::Test {

namespace {

QStringList Lines(const QByteArray& bytes) {
    QStringList out;
    for (const QByteArray& line : bytes.split('\n')) {
        if (!line.isEmpty()) {
            out.append(QString::fromUtf8(line));
        }
    }
    return out;
}

}  // namespace

FakeLaunchctl::FakeLaunchctl() {
    m_tree.MakeSymlink(QStringLiteral(KLARVIK_SOURCE_DIR "/scripts/fake-tools/launchctl"),
                       QStringLiteral("bin/launchctl"));
    m_tree.MakeFile(QStringLiteral("state"), QByteArray());
    m_tree.MakeFile(QStringLiteral("calls"), QByteArray());
    m_path = std::make_unique<ScopedEnv>(
        "PATH", (m_tree.Path(QStringLiteral("bin")) + QLatin1Char(':')).toUtf8() + qgetenv("PATH"));
    m_state = std::make_unique<ScopedEnv>("FAKE_LAUNCHCTL_STATE",
                                          m_tree.Path(QStringLiteral("state")).toUtf8());
    m_log = std::make_unique<ScopedEnv>("FAKE_LAUNCHCTL_LOG",
                                        m_tree.Path(QStringLiteral("calls")).toUtf8());
    for (const char* name : {"FAKE_LAUNCHCTL_FAIL", "FAKE_LAUNCHCTL_HANG", "FAKE_LAUNCHCTL_CRASH",
                             "FAKE_LAUNCHCTL_GARBLE"}) {
        m_modes[name] = std::make_unique<ScopedEnv>(name, QByteArray());
    }
}

FakeLaunchctl::~FakeLaunchctl() = default;

QStringList FakeLaunchctl::Loaded() const {
    return Lines(m_tree.Read(QStringLiteral("state")));
}

void FakeLaunchctl::SetLoaded(const QStringList& labels) {
    QByteArray text;
    for (const QString& label : labels) {
        text += label.toUtf8() + '\n';
    }
    m_tree.MakeFile(QStringLiteral("state"), text);
}

QStringList FakeLaunchctl::Calls() const {
    return Lines(m_tree.Read(QStringLiteral("calls")));
}

void FakeLaunchctl::ClearCalls() {
    m_tree.MakeFile(QStringLiteral("calls"), QByteArray());
}

void FakeLaunchctl::SetMode(const char* variable, const QByteArray& commands) {
    std::unique_ptr<ScopedEnv>& mode = m_modes[variable];
    mode.reset();
    mode = std::make_unique<ScopedEnv>(variable, commands);
}

void FakeLaunchctl::SetFailing(const QByteArray& commands) {
    SetMode("FAKE_LAUNCHCTL_FAIL", commands);
}

void FakeLaunchctl::SetHanging(const QByteArray& commands) {
    SetMode("FAKE_LAUNCHCTL_HANG", commands);
}

void FakeLaunchctl::SetCrashing(const QByteArray& commands) {
    SetMode("FAKE_LAUNCHCTL_CRASH", commands);
}

void FakeLaunchctl::SetGarbling(const QByteArray& commands) {
    SetMode("FAKE_LAUNCHCTL_GARBLE", commands);
}

QByteArray FakeLaunchctl::JobPlist(const QString& label) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
           "\t<key>Label</key>\n\t<string>" +
           label.toHtmlEscaped().toUtf8() + "</string>\n\t<key>ProgramArguments</key>\n\t<array><string>/bin/true"
           "</string></array>\n</dict>\n</plist>\n";
}

}  // namespace Varnex::Test
