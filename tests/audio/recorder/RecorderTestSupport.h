#pragma once

#include "audio/AudioFileReader.h"
#include "audio/AudioInput.h"
#include "audio/PcmBuffer.h"
#include "audio/VoiceActivityDetector.h"
#include "common/Error.h"

#include <QString>

#include <cmath>
#include <cstddef>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace murmurly::test {

// A capture source the test drives by hand: deliver() calls the installed tap on the caller's
// thread, which then plays the capture thread.
class ScriptedAudioInput : public AudioInput {
public:
    explicit ScriptedAudioInput(AudioFormat format = AudioFormat::working())
        : m_format(format) {}

    AudioFormat inputFormat() override { return m_format; }
    void installTap(std::uint32_t bufferSize, TapBlock block) override {
        std::lock_guard lock(m_mutex);
        tapBufferSize = bufferSize;
        m_tap = std::move(block);
    }
    void removeTap() override {
        std::lock_guard lock(m_mutex);
        m_tap = nullptr;
    }
    void start() override {
        if (failStart)
            throw SystemError(QStringLiteral("Connection refused"));
        ++starts;
    }
    void stop() override { ++stops; }

    // Returns false when no tap is installed (the buffer goes nowhere).
    bool deliver(const PcmBuffer& buffer) {
        std::lock_guard lock(m_mutex);
        if (!m_tap)
            return false;
        m_tap(buffer);
        return true;
    }

    bool failStart = false;
    int starts = 0;
    int stops = 0;
    std::uint32_t tapBufferSize = 0;

private:
    AudioFormat m_format;
    std::mutex m_mutex;
    TapBlock m_tap;
};

// A gate that answers from a script, one result per analyze() call ('S' speech, 'N' no speech,
// '?' no decision), and repeats `afterScript` once the script is used up. Keeps every window it
// was asked about. Only the recorder's IO queue calls analyze(); tests read the record after the
// stop work has run.
class ScriptedVAD : public VoiceActivityDetector {
public:
    explicit ScriptedVAD(std::string script = {}, char afterScript = 'S')
        : m_script(std::move(script))
        , m_after(afterScript) {}

    static VADAnalysisResult resultFor(char code) {
        switch (code) {
        case 'S':
            return {true, 0.9f, true};
        case 'N':
            return {false, 0.1f, true};
        default:
            return {true, std::nullopt, false};
        }
    }

    void prepareIfNeeded() override { ++prepares; }
    void reset() override { ++resets; }
    VADAnalysisResult analyze(const float* samples, std::size_t count) override {
        windows.emplace_back(samples, samples + count);
        if (analyzeDelay.count() > 0)
            std::this_thread::sleep_for(analyzeDelay);
        const std::size_t index = windows.size() - 1;
        return resultFor(index < m_script.size() ? m_script[index] : m_after);
    }

    int prepares = 0;
    int resets = 0;
    std::vector<std::vector<float>> windows;
    std::chrono::milliseconds analyzeDelay{0};

private:
    std::string m_script;
    char m_after;
};

// A mono buffer of `frames` samples, all `value`, in the given rate (float, non-interleaved).
inline PcmBuffer constantBuffer(float value, std::uint32_t frames, double rate = 16000.0) {
    std::vector<float> samples(frames, value);
    return PcmBuffer::fromMonoFloat(samples.data(), frames, rate);
}

// A sine in any channel layout, continuing at frame `offset`.
inline PcmBuffer sineBuffer(const AudioFormat& format, std::uint32_t frames, double hz, float amplitude,
                            std::uint64_t offset = 0) {
    PcmBuffer buffer = *PcmBuffer::create(format, frames);
    buffer.setFrameLength(frames);
    const std::uint32_t channels = format.channelCount;
    for (std::uint32_t i = 0; i < frames; ++i) {
        const float v =
            amplitude * static_cast<float>(
                            std::sin(2.0 * M_PI * hz * static_cast<double>(offset + i) / format.sampleRate));
        for (std::uint32_t c = 0; c < channels; ++c) {
            if (format.interleaved)
                buffer.floatChannelData(0)[std::size_t{i} * channels + c] = v;
            else
                buffer.floatChannelData(static_cast<int>(c))[i] = v;
        }
    }
    return buffer;
}

// Every sample of a mono WAV (as the file's header states its length).
inline std::vector<float> readSamples(const QString& path) {
    auto reader = AudioFileReader::open(path);
    if (reader->processingFormat().channelCount != 1)
        throw std::runtime_error("not mono");
    std::vector<float> samples;
    auto buffer = *PcmBuffer::create(reader->processingFormat(), 8192);
    for (;;) {
        reader->read(buffer);
        if (buffer.frameLength() == 0)
            break;
        samples.insert(samples.end(), buffer.floatChannelData(0),
                       buffer.floatChannelData(0) + buffer.frameLength());
    }
    return samples;
}

// The value of each window in a recording made of constant windows, one entry per 4096 samples
// (the last entry may cover a shorter tail). Lets a test state "windows 1, 2 and 5 were kept".
inline std::vector<float> windowValues(const std::vector<float>& samples, std::size_t window = 4096) {
    std::vector<float> values;
    for (std::size_t i = 0; i < samples.size(); i += window)
        values.push_back(samples[i]);
    return values;
}

// The value of window i in the crash helper's session (before mixing).
inline float crashWindowValue(int i) {
    return 0.001f * static_cast<float>(i % 900 + 1);
}

} // namespace murmurly::test
