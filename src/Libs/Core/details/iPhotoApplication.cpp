#include "Core/details/iPhotoApplication.h"

#include <glog/logging.h>

#include "CleanerCommon/LogText.h"
#include "Core/details/PhotoLibrary.h"
#include "Platform/SystemRoot.h"
#include "Platform/ToolRun.h"

namespace Varnex::Cleaner {

namespace {

const int toolTimeLimitMs = 30000;

bool RunToEnd(const QString& program, const QStringList& args) {
    const Platform::ToolOutcome outcome = Platform::RunTool(program, args, toolTimeLimitMs);
    if (!outcome.Succeeded()) {
        LOG(WARNING) << Util::LogText(program) << " " << Util::LogText(args.join(QLatin1Char(' ')))
                     << ": " << Util::LogText(outcome.Describe());
    }
    return outcome.Succeeded();
}

}  // namespace

bool IsIPhotoAlive() {
    QString problem;
    const bool running = Details::PhotoLibrary::IsApplicationRunning(&problem);
    if (running && !problem.isEmpty()) {
        LOG(INFO) << Util::LogText(problem);
    }
    return running;
}

bool KillIPhoto() {
    return RunToEnd(QStringLiteral("killall"), {QStringLiteral("iPhoto")});
}

bool OpenIPhoto() {
    return RunToEnd(QStringLiteral("open"),
                    {Platform::SystemPath(QStringLiteral("/Applications/iPhoto.app"))});
}

}  // namespace Varnex::Cleaner
