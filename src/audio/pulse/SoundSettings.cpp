#include "audio/pulse/SoundSettings.h"

#include "audio/pulse/PulseLog.h"

#include <QProcess>
#include <QStandardPaths>

namespace murmurly {

std::optional<SoundSettings::Tool> SoundSettings::find() {
    // pavucontrol first: it shows the recording streams and the monitor sources, which is exactly
    // what the user has to look at when capture is silent; the desktop panels hide monitors.
    const Tool candidates[] = {
        {QStringLiteral("pavucontrol"), {}},
        {QStringLiteral("pavucontrol-qt"), {}},
        {QStringLiteral("gnome-control-center"), {QStringLiteral("sound")}},
        {QStringLiteral("systemsettings"), {QStringLiteral("kcm_pulseaudio")}},
        {QStringLiteral("systemsettings5"), {QStringLiteral("kcm_pulseaudio")}},
    };
    for (const Tool& tool : candidates) {
        const QString path = QStandardPaths::findExecutable(tool.program);
        if (!path.isEmpty())
            return Tool{path, tool.arguments};
    }
    return std::nullopt;
}

bool SoundSettings::open() {
    const auto tool = find();
    if (!tool) {
        qCInfo(lcSoundServer, "No sound settings tool is installed");
        return false;
    }
    if (!QProcess::startDetached(tool->program, tool->arguments)) {
        qCWarning(lcSoundServer, "Cannot start %s", qUtf8Printable(tool->program));
        return false;
    }
    return true;
}

} // namespace murmurly
