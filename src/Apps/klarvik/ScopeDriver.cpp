#include "ScopeDriver.h"

#include <unistd.h>

#include <QEventLoop>
#include <atomic>
#include <csignal>
#include <cstdio>

#include "CleanerCommon/Sizes.h"

namespace Klarvik {

namespace {

std::atomic<bool> interrupted{false};

void OnInterrupt(int) {
    if (interrupted.exchange(true)) {
        std::_Exit(130);
    }
}

}  // namespace

ScopeDriver::ScopeDriver(Scope* scope, bool showProgress, QObject* parent)
    : QObject(parent), m_scope(scope), m_showProgress(showProgress && ::isatty(STDERR_FILENO)) {
    std::signal(SIGINT, OnInterrupt);
    m_ticker.setInterval(100);
    connect(&m_ticker, &QTimer::timeout, this, [this] {
        if (interrupted.load()) {
            m_cleaning ? m_scope->StopCleaning() : m_scope->StopScanning();
        }
        ShowProgress();
    });
}

ScopeDriver::~ScopeDriver() {
    std::signal(SIGINT, SIG_DFL);
}

ScopeDriver::Scope::FinishReason ScopeDriver::Scan() {
    m_cleaning = false;
    QEventLoop loop;
    Scope::FinishReason reason = Scope::FAILED;
    auto connection =
        connect(m_scope, &Scope::ScanningFinished, &loop, [&](Scope*, Scope::FinishReason r) {
            reason = r;
            loop.quit();
        });
    m_ticker.start();
    m_scope->StartScanning();
    if (m_scope->IsScanning()) {
        loop.exec();
    }
    m_ticker.stop();
    disconnect(connection);
    ClearProgress();
    return reason;
}

bool ScopeDriver::Clean(Scope::FinishReason* reason) {
    m_cleaning = true;
    QEventLoop loop;
    *reason = Scope::FAILED;
    auto connection =
        connect(m_scope, &Scope::CleaningFinished, &loop, [&](Scope*, Scope::FinishReason r) {
            *reason = r;
            loop.quit();
        });
    const bool started = m_scope->StartCleaning();
    if (started) {
        m_ticker.start();
        if (m_scope->IsCleaning()) {
            loop.exec();
        }
        m_ticker.stop();
    }
    disconnect(connection);
    ClearProgress();
    return started;
}

void ScopeDriver::ShowProgress() {
    if (!m_showProgress) {
        return;
    }
    QString line;
    if (m_cleaning) {
        line = QStringLiteral("Cleaning: %1%, %2 freed")
                   .arg(static_cast<int>(m_scope->GetCleaningProgress() * 100))
                   .arg(Varnex::Cleaner::FormatSize(m_scope->GetLastCleanedSize(), 0));
    } else {
        line = QStringLiteral("Scanning: %1 items, %2")
                   .arg(m_scope->GetTotalItems())
                   .arg(Varnex::Cleaner::FormatSize(m_scope->GetTotalSize(), 0));
    }
    std::fprintf(stderr, "\r\033[K%s", line.toUtf8().constData());
    std::fflush(stderr);
}

void ScopeDriver::ClearProgress() {
    if (m_showProgress) {
        std::fprintf(stderr, "\r\033[K");
        std::fflush(stderr);
    }
}

}  // namespace Klarvik
