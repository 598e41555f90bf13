#pragma once

#include <cstddef>
#include <optional>
#include <vector>

namespace murmurly {

// Collects the converted samples of the two sources and cuts them into mixed windows of 4096
// samples: mixed[i] = (mic[i] + sys[i]) × 0.5. A window is cut as soon as either source has a full
// window; the other contributes what it has only if it also has a full window, otherwise zeros (its
// partial samples wait for a later window). So a source that stalls or never starts (no system
// audio, say) never holds the recording back; with one source alone every window is that source
// at half amplitude.
class WindowMixer {
public:
    static constexpr std::size_t kWindowSize = 4096;

    void appendMic(const float* samples, std::size_t count);
    void appendSys(const float* samples, std::size_t count);

    // The next mixed window, or none while both sources hold less than a window.
    std::optional<std::vector<float>> nextWindow();

    // What is left at the end of a session (each source holds less than a window by then, unless
    // the caller stops mixing early): the first min(mic, sys) samples mixed, then the rest of the
    // longer source unscaled. Empties both sources.
    struct Tail {
        std::vector<float> mixed;
        std::vector<float> solo;
    };
    Tail takeTail();

    void clear();
    std::size_t micCount() const { return m_mic.size(); }
    std::size_t sysCount() const { return m_sys.size(); }

private:
    std::vector<float> m_mic;
    std::vector<float> m_sys;
};

} // namespace murmurly
