#pragma once

#include "audio/VoiceActivityDetector.h"
#include "audio/vad/VADModel.h"

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace murmurly {

// Decides for each 256 ms window (4096 samples at 16 kHz) whether it holds speech, with the Silero
// VAD model and hysteresis: speech from a probability of 0.55 up, no speech below 0.35, and the
// previous state in between. The model's recurrent state and the last 64 samples of each window
// are fed into the next window. The model is loaded lazily, at the first session start, and kept;
// without it every answer is "no decision" (and speech), so the recorder holds its windows and
// writes nothing for the session.
//
// No lock: the recorder calls prepareIfNeeded/reset before a session's first buffer and analyze
// only on its IO queue, never concurrently.
class SileroVADGate : public VoiceActivityDetector {
public:
    static constexpr std::size_t windowSamples = vadfeature::windowSamples;
    static constexpr std::size_t contextSamples = vadfeature::contextSamples;
    static constexpr std::size_t stateSize = vadfeature::stateSize;
    static constexpr float speechOnThreshold = 0.55f;
    static constexpr float speechOffThreshold = 0.35f;

    // Produces a loaded model or throws (an Error subclass) saying why it cannot.
    using ModelLoader = std::function<std::unique_ptr<VADModel>()>;

    // Loads the Silero model file found by VADModelLocation.
    SileroVADGate();
    // Loads the model through `loader` (tests supply scripted models).
    explicit SileroVADGate(ModelLoader loader);

    void prepareIfNeeded() override;
    void reset() override;
    VADAnalysisResult analyze(const float* samples, std::size_t count) override;
    VADAnalysisResult analyze(const std::vector<float>& samples) {
        return analyze(samples.data(), samples.size());
    }

    bool isLoaded() const { return m_model != nullptr; }

private:
    // One window through the model; may throw. Updates the recurrent state and the context.
    float predictProbability(VADModel& model, const float* chunk, std::size_t count);

    ModelLoader m_loader;
    std::unique_ptr<VADModel> m_model;
    std::array<float, stateSize> m_hiddenState{};
    std::array<float, stateSize> m_cellState{};
    std::array<float, contextSamples> m_context{};
    std::vector<float> m_pendingSamples16k;
    bool m_hasVadDecision = false;
    std::optional<float> m_lastProbability;
    bool m_isSpeech = true;
};

} // namespace murmurly
