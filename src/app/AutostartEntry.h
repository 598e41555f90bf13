#pragma once

#include <QString>

namespace murmurly {

// "Start at login": a desktop entry in the user's autostart folder
// ($XDG_CONFIG_HOME/autostart/com.murmurly.Murmurly.desktop) that runs the program with --hidden, so
// that only the tray item appears. The file is the setting: present means on.
class AutostartEntry {
public:
    AutostartEntry() = delete;

    static QString path();
    static bool isEnabled();
    // Writes or removes the entry; false when that failed (the setting is then unchanged).
    static bool setEnabled(bool enabled);

    // The entry's Exec line: "murmurly --hidden" when the program on the PATH under that name is
    // the running one (an installed copy); the running program's full path otherwise, so that a
    // copy started from a build folder starts itself.
    static QString execLine();
};

} // namespace murmurly
