#pragma once

#include <cstddef>
#include <optional>

namespace murmurly {

// The gate's answer for one analysed stretch of audio.
struct VADAnalysisResult {
    bool isSpeech = true;
    std::optional<float> probability;
    bool hasDecision = false;

    friend bool operator==(const VADAnalysisResult&, const VADAnalysisResult&) = default;
};

// What the session recorder needs of a voice-activity gate. SileroVADGate is the real one; tests
// script their own. All calls come from one thread at a time (the recorder keeps them ordered).
class VoiceActivityDetector {
public:
    virtual ~VoiceActivityDetector() = default;
    // Loads the model if it is not loaded yet; never throws (failures are logged).
    virtual void prepareIfNeeded() = 0;
    // Back to the start-of-session state; a loaded model is kept.
    virtual void reset() = 0;
    // Analyses 16 kHz mono float samples (any count; the recorder passes 4096 at a time).
    virtual VADAnalysisResult analyze(const float* samples, std::size_t count) = 0;
};

} // namespace murmurly
