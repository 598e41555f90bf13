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

// Collects the blocks a capture thread delivers, mixed down to mono, with every format seen and
// the longest block.
class BlockCollector {
public:
    void add(const PcmBuffer& block) {
        std::lock_guard lock(m_mutex);
        const AudioFormat& format = block.format();
        if (std::find(m_formats.begin(), m_formats.end(), format) == m_formats.end())
            m_formats.push_back(format);
        m_longestBlock = std::max(m_longestBlock, block.frameLength());
        ++m_blocks;
        const std::uint32_t channels = format.channelCount;
        for (std::uint32_t frame = 0; frame < block.frameLength(); ++frame) {
            float sum = 0;
            for (std::uint32_t c = 0; c < channels; ++c)
                sum += format.interleaved ? block.floatChannelData(0)[frame * channels + c]
                                          : block.floatChannelData(int(c))[frame];
            m_samples.push_back(sum / float(channels));
        }
    }
    std::size_t blockCount() const {
        std::lock_guard lock(m_mutex);
        return m_blocks;
    }
    std::vector<float> samples() const {
        std::lock_guard lock(m_mutex);
        return m_samples;
    }
    std::vector<AudioFormat> formats() const {
        std::lock_guard lock(m_mutex);
        return m_formats;
    }
    std::uint32_t longestBlock() const {
        std::lock_guard lock(m_mutex);
        return m_longestBlock;
    }
    void clearSamples() {
        std::lock_guard lock(m_mutex);
        m_samples.clear();
    }

private:
    mutable std::mutex m_mutex;
    std::size_t m_blocks = 0;
    std::vector<float> m_samples;
    std::vector<AudioFormat> m_formats;
    std::uint32_t m_longestBlock = 0;
};

// From the first to the last sample louder than a tenth of the signal's peak, in seconds; none
// for a silent signal. Pauses between words stay inside the span.
inline std::optional<double> soundSpan(const std::vector<float>& samples, double sampleRate) {
    float peak = 0;
    for (float s : samples)
        peak = std::max(peak, std::abs(s));
    if (peak < 1e-3f)
        return std::nullopt;
    const auto loud = [peak](float s) { return std::abs(s) >= peak * 0.1f; };
    const auto first = std::find_if(samples.begin(), samples.end(), loud);
    const auto last = std::find_if(samples.rbegin(), samples.rend(), loud);
    return double(std::distance(first, last.base())) / sampleRate;
}

// The signal's energy per second (sum of squares over the sample rate): the same sound at another
// rate has the same energy, one 3 dB louder has twice as much.
inline double energy(const std::vector<float>& samples, double sampleRate) {
    double sum = 0;
    for (float s : samples)
        sum += double(s) * s;
    return sum / sampleRate;
}

// Waits (processing events) until `condition` holds; false after `timeoutMs`. The time-out only
// bounds a hang; no test result depends on how fast anything happens.
template <typename Condition>
bool waitFor(Condition condition, int timeoutMs = 10000) {
    return QTest::qWaitFor(condition, timeoutMs);
}

} // namespace murmurly::test
