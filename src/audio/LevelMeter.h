#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>

namespace murmurly {

// Turns the levels of small capture fragments into one level per `frames` frames (4096 by
// default, about a tenth of a second), so that a meter is updated at the rate a person can read
// and the main thread is not woken for every fragment. Each fragment's level is
// min(1, 2 × RMS); the combined level is the same formula over all the fragments' samples (exact
// unless a fragment was clipped at 1). Not thread-safe: one capture thread feeds it.
class LevelMeter {
public:
    explicit LevelMeter(std::uint32_t frames = 4096)
        : m_frames(frames) {}

    // The level of the frames gathered so far, once they reach a window's worth; none before.
    std::optional<float> add(float fragmentLevel, std::uint32_t fragmentFrames) {
        const double rms = fragmentLevel / 2.0;
        m_sumSquares += rms * rms * fragmentFrames;
        m_count += fragmentFrames;
        if (m_count < m_frames)
            return std::nullopt;
        const double level = 2.0 * std::sqrt(m_sumSquares / double(m_count));
        m_sumSquares = 0;
        m_count = 0;
        return static_cast<float>(std::clamp(std::isfinite(level) ? level : 0.0, 0.0, 1.0));
    }
    void reset() { m_sumSquares = 0, m_count = 0; }

private:
    std::uint32_t m_frames;
    double m_sumSquares = 0;
    std::uint64_t m_count = 0;
};

} // namespace murmurly
