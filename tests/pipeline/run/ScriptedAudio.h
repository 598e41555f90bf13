#pragma once

#include "audio/AudioInput.h"
#include "audio/VoiceActivityDetector.h"
#include "common/Error.h"

#include <atomic>
#include <cmath>
#include <memory>
#include <mutex>
#include <vector>

namespace murmurly::test {

// A microphone and a gate scripted by the test. The test keeps the shared state; the recorder owns
// the two thin objects below.
struct ScriptedAudio {
    struct State {
        std::mutex mutex;
        AudioInput::TapBlock tap;
        bool started = false;
        bool failStart = false; // start() fails like a missing sound server
        std::atomic<bool> speech{true};
        std::atomic<float> probability{0.9f};
    };
    std::shared_ptr<State> state = std::make_shared<State>();

    class Input : public AudioInput {
    public:
        explicit Input(std::shared_ptr<State> s)
            : m_state(std::move(s)) {}
        AudioFormat inputFormat() override { return AudioFormat::working(); }
        void installTap(std::uint32_t, TapBlock block) override {
            std::lock_guard lock(m_state->mutex);
            m_state->tap = std::move(block);
        }
        void removeTap() override { installTap(0, nullptr); }
        void start() override {
            std::lock_guard lock(m_state->mutex);
            if (m_state->failStart) {
                throw SystemError(QStringLiteral("Connection refused"));
            }
            m_state->started = true;
        }
        void stop() override {
            std::lock_guard lock(m_state->mutex);
            m_state->started = false;
        }

    private:
        std::shared_ptr<State> m_state;
    };

    class Gate : public VoiceActivityDetector {
    public:
        explicit Gate(std::shared_ptr<State> s)
            : m_state(std::move(s)) {}
        void prepareIfNeeded() override {}
        void reset() override {}
        VADAnalysisResult analyze(const float*, std::size_t) override {
            return {m_state->speech.load(), m_state->probability.load(), true};
        }

    private:
        std::shared_ptr<State> m_state;
    };

    // Delivers `blocks` windows (4096 samples) of a 440 Hz tone to the tap, on the caller's thread
    // as the sound server's thread would; nothing while capture is stopped.
    void push(int blocks = 1, float amplitude = 0.3f) {
        std::vector<float> samples(4096);
        for (int b = 0; b < blocks; ++b) {
            for (float& sample : samples) {
                sample = amplitude *
                         static_cast<float>(std::sin(2.0 * M_PI * 440.0 * double(m_phase++) / 16000.0));
            }
            const PcmBuffer buffer = PcmBuffer::fromMonoFloat(samples.data(), 4096);
            std::lock_guard lock(state->mutex);
            if (state->started && state->tap) {
                state->tap(buffer);
            }
        }
    }

private:
    std::int64_t m_phase = 0;
};

} // namespace murmurly::test
