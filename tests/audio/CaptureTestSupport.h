#pragma once

// Helpers shared by the capture tests: collecting blocks from a capture thread and measuring
// where sound is in a signal.

#include "audio/AudioFileReader.h"
#include "audio/PcmBuffer.h"
#include "support/PulseFixture.h"

#include <QDir>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <mutex>
#include <optional>
#include <vector>

namespace murmurly::test {

// Collects the blocks a capture thread delivers, mixed down to mono.
class BlockCollector {
public:
    void add(const PcmBuffer& block) {
        std::lock_guard lock(m_mutex);
        const AudioFormat& format = block.format();
        m_formats.push_back(format);
        m_frameLengths.push_back(block.frameLength());
        const float* data = block.floatChannelData(0);
        if (!data)
            return;
        const std::uint32_t channels = format.channelCount;
        for (std::uint32_t frame = 0; frame < block.frameLength(); ++frame) {
            float sum = 0;
            for (std::uint32_t c = 0; c < channels; ++c)
                sum +=
                    format.interleaved ? data[frame * channels + c] : block.floatChannelData(int(c))[frame];
            m_samples.push_back(sum / float(channels));
        }
    }
    std::size_t blockCount() const {
        std::lock_guard lock(m_mutex);
        return m_formats.size();
    }
    std::vector<float> samples() const {
        std::lock_guard lock(m_mutex);
        return m_samples;
    }
    std::vector<AudioFormat> formats() const {
        std::lock_guard lock(m_mutex);
        return m_formats;
    }
    std::vector<std::uint32_t> frameLengths() const {
        std::lock_guard lock(m_mutex);
        return m_frameLengths;
    }
    void clear() {
        std::lock_guard lock(m_mutex);
        m_samples.clear();
        m_formats.clear();
        m_frameLengths.clear();
    }

private:
    mutable std::mutex m_mutex;
    std::vector<float> m_samples;
    std::vector<AudioFormat> m_formats;
    std::vector<std::uint32_t> m_frameLengths;
};

// From the first to the last sample louder than a tenth of the signal's peak, in seconds; none
// for a silent signal. Pauses between words stay inside the span.
inline std::optional<double> soundSpan(const std::vector<float>& samples, double sampleRate) {
    float peak = 0;
    for (float s : samples)
        peak = std::max(peak, std::abs(s));
    if (peak < 1e-3f)
        return std::nullopt;
    const float threshold = peak * 0.1f;
    const auto loud = [threshold](float s) { return std::abs(s) >= threshold; };
    const auto first = std::find_if(samples.begin(), samples.end(), loud);
    const auto last = std::find_if(samples.rbegin(), samples.rend(), loud);
    return double(std::distance(first, last.base())) / sampleRate;
}

// The signal's energy per second of the file (sum of squares over the sample rate): the same sound
// at another rate has the same energy, one 3 dB louder has twice as much.
inline double energy(const std::vector<float>& samples, double sampleRate) {
    double sum = 0;
    for (float s : samples)
        sum += double(s) * s;
    return sum / sampleRate;
}

inline std::vector<float> readMonoFile(const QString& path, double* sampleRate) {
    auto reader = AudioFileReader::open(path);
    const AudioFormat format = reader->processingFormat();
    *sampleRate = format.sampleRate;
    auto buffer = PcmBuffer::create(format, 4096);
    std::vector<float> samples;
    for (;;) {
        reader->read(*buffer);
        if (buffer->frameLength() == 0)
            break;
        for (std::uint32_t i = 0; i < buffer->frameLength(); ++i)
            samples.push_back(buffer->floatChannelData(0)[i]);
    }
    return samples;
}

// Speech from espeak-ng, a few seconds long, in the test's temporary folder.
inline QString makeSpeech() {
    const QString path = QDir::temp().filePath(QStringLiteral("speech.wav"));
    if (!PulseFixture::speak(QStringLiteral("Murmurly keeps what you hear and what you say."), path))
        ADD_FAILURE() << PulseFixture::lastError().toStdString();
    return path;
}

// Waits (processing events) until `condition` holds; false after `timeoutMs`. The time-out only
// bounds a hang; no test result depends on how fast anything happens.
template <typename Condition>
bool waitFor(Condition condition, int timeoutMs = 10000) {
    return QTest::qWaitFor(condition, timeoutMs);
}

} // namespace murmurly::test
