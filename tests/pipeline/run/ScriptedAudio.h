#pragma once

#include "audio/AudioInput.h"
#include "audio/VoiceActivityDetector.h"
#include "common/Error.h"

#include <QString>

#include <atomic>
#include <cmath>
#include <mutex>
#include <vector>

namespace murmurly::test {

// A microphone driven by the test: push() delivers one block to the tap on the caller's thread,
// as the sound server's thread would. start() can be told to fail like a missing sound server.
class ScriptedInput : public AudioInput {
public:
    struct Shared {
        std::mutex mutex;
        TapBlock tap;
        bool started = false;
        bool failStart = false;
    };

    explicit ScriptedInput(std::shared_ptr<Shared> shared)
        : m_shared(std::move(shared)) {}

    AudioFormat inputFormat() override { return AudioFormat::working(); }
    void installTap(std::uint32_t, TapBlock block) override {
        std::lock_guard lock(m_shared->mutex);
        m_shared->tap = std::move(block);
    }
    void removeTap() override {
        std::lock_guard lock(m_shared->mutex);
        m_shared->tap = nullptr;
    }
    void start() override {
        std::lock_guard lock(m_shared->mutex);
        if (m_shared->failStart) {
            throw SystemError(QStringLiteral("Connection refused"));
        }
        m_shared->started = true;
    }
    void stop() override {
        std::lock_guard lock(m_shared->mutex);
        m_shared->started = false;
    }

private:
    std::shared_ptr<Shared> m_shared;
};

// A gate whose answers the test sets: speech or not, and the probability reported. Each window
// may carry its own probability so that a test can tell the windows' reports apart.
class ScriptedVad : public VoiceActivityDetector {
public:
    struct Shared {
        std::atomic<bool> speech{true};
        std::atomic<float> probability{0.9f};
        std::atomic<int> windows{0};
    };

    explicit ScriptedVad(std::shared_ptr<Shared> shared)
        : m_shared(std::move(shared)) {}

    void prepareIfNeeded() override {}
    void reset() override {}
    VADAnalysisResult analyze(const float*, std::size_t) override {
        ++m_shared->windows;
        return {m_shared->speech.load(), m_shared->probability.load(), true};
    }

private:
    std::shared_ptr<Shared> m_shared;
};

// Both scripted parts and a way to feed the microphone.
struct ScriptedAudio {
    std::shared_ptr<ScriptedInput::Shared> input = std::make_shared<ScriptedInput::Shared>();
    std::shared_ptr<ScriptedVad::Shared> vad = std::make_shared<ScriptedVad::Shared>();

    // Delivers `blocks` windows of a 440 Hz tone (4096 samples each) to the tap, if started.
    void push(int blocks = 1, float amplitude = 0.3f) {
        std::vector<float> samples(4096);
        for (int b = 0; b < blocks; ++b) {
            for (std::size_t i = 0; i < samples.size(); ++i) {
                const double t = static_cast<double>(m_phase++) / 16000.0;
                samples[i] = amplitude * static_cast<float>(std::sin(2.0 * M_PI * 440.0 * t));
            }
            const PcmBuffer buffer = PcmBuffer::fromMonoFloat(samples.data(), 4096);
            std::lock_guard lock(input->mutex);
            if (input->started && input->tap) {
                input->tap(buffer);
            }
        }
    }

private:
    std::int64_t m_phase = 0;
};

} // namespace murmurly::test
