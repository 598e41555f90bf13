#pragma once

#include <cstddef>
#include <optional>
#include <vector>

namespace murmurly {

// Collects the converted samples of the two sources and cuts them into mixed windows of 4096
// samples, mixed[i] = (mic[i] + sys[i]) × 0.5, where mic[i] and sys[i] are the same moment.
//
// Both sources deliver in small fragments (tens of milliseconds), so most of the time neither
// holds a full window; a window is cut when both do. Once a source is placed, its samples follow
// on one another with no gap, however they are split into fragments and however late a fragment
// comes: the count of samples, not the moment of arrival, says where a sample belongs (capture
// holes arrive as silence, so the count stays true).
//  - A source that is absent or stalls (no microphone, a suspended output, a device unplugged)
//    must not hold the other back: once the live source holds a full window and is more than
//    kMaxImbalance samples ahead, its window is cut with whatever the lagging source holds, and
//    silence for the rest. The lagging source has then lost its place.
//  - A source without a place (one that starts, or comes back after losing its place) is placed
//    at the present moment: its newest sample lines up with the other source's newest sample
//    (silence is put in front of it). So the first source to deliver sets the pace and the other
//    joins it.
//  - Two devices whose clocks drift apart make the faster source's surplus grow by a few samples a
//    second; when it passes kMaxImbalance the same rule inserts that much silence into the slower
//    source at a window boundary. Nothing is dropped, and the file never lags real time by more
//    than a window plus kMaxImbalance plus what the capture holds back (under half a second).
// With one source alone every window is that source at half amplitude.
class WindowMixer {
public:
    static constexpr std::size_t kWindowSize = 4096;
    // 128 ms: well above the fragment jitter between two live sources, well under a window.
    static constexpr std::size_t kMaxImbalance = 2048;

    void appendMic(const float* samples, std::size_t count);
    void appendSys(const float* samples, std::size_t count);

    // The next mixed window, or none while the rule above cuts nothing.
    std::optional<std::vector<float>> nextWindow();
    // At the end of a session: every full window either source still holds, the other side
    // contributing what it has and silence for the rest.
    std::optional<std::vector<float>> nextFinalWindow();

    // What is left once no window can be cut any more (each source holds less than a window): the
    // first min(mic, sys) samples mixed, then the rest of the longer source unscaled. Empties both.
    struct Tail {
        std::vector<float> mixed;
        std::vector<float> solo;
    };
    Tail takeTail();

    void clear();
    std::size_t micCount() const { return m_mic.samples.size(); }
    std::size_t sysCount() const { return m_sys.samples.size(); }

private:
    struct Lane {
        std::vector<float> samples;
        bool placed = false;
    };
    static void append(Lane& lane, const Lane& other, const float* samples, std::size_t count);
    std::optional<std::vector<float>> cut(bool final);

    Lane m_mic;
    Lane m_sys;
};

} // namespace murmurly
