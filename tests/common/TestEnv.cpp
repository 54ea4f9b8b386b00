#include "common/TestEnv.h"

#include <time.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QProcess>
#include <QThread>

namespace Varnex::Test {

namespace {
QString& Home() {
    static QString h;
    return h;
}
QString& SysRoot() {
    static QString s;
    return s;
}
}  // namespace

void SetTestFolders(const QString& home, const QString& sysroot) {
    Home() = home;
    SysRoot() = sysroot;
}

QString TestHome() {
    return Home();
}
QString TestSysRoot() {
    return SysRoot();
}

namespace {

long long ClockNs(clockid_t clock) {
    struct timespec now {};
    ::clock_gettime(clock, &now);
    return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

}  // namespace

void WaitForCoarseClockToPassNow() {
    const long long now = ClockNs(CLOCK_REALTIME);
    while (ClockNs(CLOCK_REALTIME_COARSE) <= now) {
        ::usleep(1000);
    }
}

bool WaitUntil(const std::function<bool()>& done, int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired()) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
    return true;
}

int RunProgram(const QString& program, const QStringList& args, QByteArray* out, QByteArray* err,
               const QByteArray& input, int timeoutMs) {
    QProcess p;
    p.start(program, args);
    if (!p.waitForStarted(timeoutMs)) {
        return -1;
    }
    if (!input.isEmpty()) {
        p.write(input);
    }
    p.closeWriteChannel();
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished();
        return -1;
    }
    if (out) {
        *out = p.readAllStandardOutput();
    }
    if (err) {
        *err = p.readAllStandardError();
    }
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

}  // namespace Varnex::Test
