#include "audio/WindowMixer.h"

#include <algorithm>

namespace murmurly {

void WindowMixer::appendMic(const float* samples, std::size_t count) {
    if (count > 0)
        m_mic.insert(m_mic.end(), samples, samples + count);
}

void WindowMixer::appendSys(const float* samples, std::size_t count) {
    if (count > 0)
        m_sys.insert(m_sys.end(), samples, samples + count);
}

std::optional<std::vector<float>> WindowMixer::nextWindow() {
    const bool micFull = m_mic.size() >= kWindowSize;
    const bool sysFull = m_sys.size() >= kWindowSize;
    if (!micFull && !sysFull)
        return std::nullopt;

    std::vector<float> mixed(kWindowSize, 0.0f);
    if (micFull)
        std::copy_n(m_mic.begin(), kWindowSize, mixed.begin());
    if (sysFull) {
        for (std::size_t i = 0; i < kWindowSize; ++i)
            mixed[i] += m_sys[i];
    }
    for (float& sample : mixed)
        sample *= 0.5f;

    // The accumulators hold little more than a window, so moving the rest forward is cheap.
    if (micFull)
        m_mic.erase(m_mic.begin(), m_mic.begin() + kWindowSize);
    if (sysFull)
        m_sys.erase(m_sys.begin(), m_sys.begin() + kWindowSize);
    return mixed;
}

WindowMixer::Tail WindowMixer::takeTail() {
    Tail tail;
    const std::size_t common = std::min(m_mic.size(), m_sys.size());
    tail.mixed.resize(common);
    for (std::size_t i = 0; i < common; ++i)
        tail.mixed[i] = (m_mic[i] + m_sys[i]) * 0.5f;
    const std::vector<float>& longer = m_mic.size() > m_sys.size() ? m_mic : m_sys;
    tail.solo.assign(longer.begin() + static_cast<std::ptrdiff_t>(common), longer.end());
    clear();
    return tail;
}

void WindowMixer::clear() {
    m_mic.clear();
    m_sys.clear();
}

} // namespace murmurly
