#pragma once

#include "audio/AudioFileReader.h"
#include "audio/AudioInput.h"
#include "audio/PcmBuffer.h"
#include "audio/VoiceActivityDetector.h"
#include "common/Error.h"

#include <QString>

#include <chrono>
#include <cmath>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace murmurly::test {

// A capture source the test drives by hand: deliver() calls the installed tap on the caller's
// thread, which then plays the capture thread. Returns false when no tap is installed.
class ScriptedAudioInput : public AudioInput {
public:
    AudioFormat inputFormat() override { return format; }
    void installTap(std::uint32_t, TapBlock block) override {
        std::lock_guard lock(m_mutex);
        m_tap = std::move(block);
    }
    void removeTap() override { installTap(0, nullptr); }
    void start() override {
        if (failStart)
            throw SystemError(QStringLiteral("Connection refused"));
        ++starts;
    }
    void stop() override { ++stops; }
    bool deliver(const PcmBuffer& buffer) {
        std::lock_guard lock(m_mutex);
        if (m_tap)
            m_tap(buffer);
        return bool(m_tap);
    }

    AudioFormat format = AudioFormat::working();
    bool failStart = false;
    int starts = 0;
    int stops = 0;

private:
    std::mutex m_mutex;
    TapBlock m_tap;
};

// A gate that answers from a script, one result per analyze() call ('S' speech, 'N' no speech,
// '?' no decision), then `after` for ever. Keeps every window it was asked about; only the
// recorder's IO queue calls analyze(), so tests read them after the stop work has run.
class ScriptedVAD : public VoiceActivityDetector {
public:
    static VADAnalysisResult resultFor(char code) {
        if (code == '?')
            return {true, std::nullopt, false};
        return {code == 'S', code == 'S' ? 0.9f : 0.1f, true};
    }

    void prepareIfNeeded() override { ++prepares; }
    void reset() override { ++resets; }
    VADAnalysisResult analyze(const float* samples, std::size_t count) override {
        windows.emplace_back(samples, samples + count);
        std::this_thread::sleep_for(analyzeDelay);
        const std::size_t index = windows.size() - 1;
        return resultFor(index < script.size() ? script[index] : after);
    }

    std::string script;
    char after = 'S';
    int prepares = 0;
    int resets = 0;
    std::vector<std::vector<float>> windows;
    std::chrono::milliseconds analyzeDelay{0};
};

// A 16 kHz mono buffer of `frames` samples, all `value`.
inline PcmBuffer constantBuffer(float value, std::uint32_t frames) {
    const std::vector<float> samples(frames, value);
    return PcmBuffer::fromMonoFloat(samples.data(), frames);
}

// A sine in an interleaved format, continuing at frame `offset`.
inline PcmBuffer sineBuffer(const AudioFormat& format, std::uint32_t frames, double hz,
                            std::uint64_t offset) {
    PcmBuffer buffer = *PcmBuffer::create(format, frames);
    buffer.setFrameLength(frames);
    for (std::uint32_t i = 0; i < frames * format.channelCount; ++i) {
        const double t = double(offset + i / format.channelCount) / format.sampleRate;
        buffer.floatChannelData(0)[i] = 0.5f * float(std::sin(2.0 * M_PI * hz * t));
    }
    return buffer;
}

// Every sample of a mono WAV (as far as its header states).
inline std::vector<float> readSamples(const QString& path) {
    auto reader = AudioFileReader::open(path);
    auto buffer = *PcmBuffer::create(reader->processingFormat(), std::uint32_t(reader->length() + 1));
    reader->read(buffer);
    return {buffer.floatChannelData(0), buffer.floatChannelData(0) + buffer.frameLength()};
}

// The first value of each 4096-sample window: lets a test of constant windows state which were kept.
inline std::vector<float> windowValues(const std::vector<float>& samples) {
    std::vector<float> values;
    for (std::size_t i = 0; i < samples.size(); i += 4096)
        values.push_back(samples[i]);
    return values;
}

// The value of window i in the crash helper's session (before mixing).
inline float crashWindowValue(int i) {
    return 0.001f * float(i % 900 + 1);
}

} // namespace murmurly::test
