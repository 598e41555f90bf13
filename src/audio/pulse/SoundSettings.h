#pragma once

#include <QString>
#include <QStringList>

#include <optional>

namespace murmurly {

// The desktop's sound settings, which stand in for the privacy pages of the microphone and of
// screen recording: there the user picks the input and output devices and unmutes them.
class SoundSettings {
public:
    struct Tool {
        QString program;
        QStringList arguments;
    };

    // The first settings tool found on PATH: pavucontrol (any desktop), GNOME's sound panel, KDE's
    // audio module; none when no such tool is installed.
    static std::optional<Tool> find();
    // Starts it detached; false when there is none or it cannot be started.
    static bool open();
};

} // namespace murmurly
