#pragma once

#include "audio/VoiceActivityDetector.h"

#include <cstddef>
#include <deque>
#include <functional>
#include <span>
#include <vector>

namespace murmurly {

enum class GateState { waitingForSpeech, confirmingSpeech, recording };

// Decides, window by window, which mixed audio reaches the session file. Two speech windows
// (0.5 s) open it, so a lone click or cough is not kept; once open it stays open through short
// pauses (up to three non-speech windows, 0.768 s) so that words are not clipped between breaths.
// Pure state: the recorder drives it from its IO queue and passes the function that writes.
class SpeechGate {
public:
    using Window = std::vector<float>;
    using WriteFn = std::function<void(const float* samples, std::size_t count)>;

    static constexpr double kSampleRate = 16000.0;
    static constexpr double kConfirmSeconds = 0.5;
    static constexpr double kTrailingSilenceSeconds = 1.0;

    // Windows arriving without a speech decision (the model could not be loaded, or every inference
    // so far failed) are held, because a later decision may still claim them. Without a model no
    // decision ever comes, and holding everything would cost 3.75 MB per minute, 225 MB per hour of
    // a long call. A held window only reaches the file once speech is confirmed or at stop while
    // confirming, so only the audio next to such a decision matters; 60 s of it (235 windows of
    // 16 KiB, about 3.7 MB) is far more than a short run of failed inferences produces and still
    // small. The oldest go first: the newest are the ones adjacent to whatever decision comes next.
    static constexpr std::size_t kMaxHeldWindows = 235;

    explicit SpeechGate(std::size_t maxHeldWindows = kMaxHeldWindows);

    // One analysed window: holds, writes or drops it, and moves the state.
    void process(Window window, const VADAnalysisResult& result, const WriteFn& write);

    // End of session: speech still being confirmed is kept (the held windows are written and the
    // gate counts as recording), then the partial tails are written if the gate is recording:
    // `mixedTail` (both sources, already mixed) followed by `soloTail` (the longer source's rest).
    void flush(std::span<const float> mixedTail, std::span<const float> soloTail, const WriteFn& write);

    void reset();

    GateState state() const { return m_state; }

private:
    void hold(Window window);
    void clearHeld();
    void writeHeld(const WriteFn& write);

    std::size_t m_maxHeld;
    GateState m_state = GateState::waitingForSpeech;
    std::deque<Window> m_held; // the confirmation buffer
    double m_confirmationSeconds = 0;
    double m_trailingSilenceSeconds = 0;
};

} // namespace murmurly
