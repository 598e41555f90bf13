#include "audio/WindowMixer.h"

#include <algorithm>

namespace murmurly {

void WindowMixer::appendMic(const float* samples, std::size_t count) {
    append(m_mic, m_sys, samples, count);
}

void WindowMixer::appendSys(const float* samples, std::size_t count) {
    append(m_sys, m_mic, samples, count);
}

void WindowMixer::append(Lane& lane, const Lane& other, const float* samples, std::size_t count) {
    if (count == 0)
        return;
    // A source without a place starts or comes back now: these samples end now, and so do the
    // other source's, so the two ends are lined up. A placed source just goes on, even when a
    // late fragment finds the other source further ahead.
    if (!lane.placed) {
        lane.placed = true;
        if (other.samples.size() > lane.samples.size() + count)
            lane.samples.resize(other.samples.size() - count, 0.0f);
    }
    lane.samples.insert(lane.samples.end(), samples, samples + count);
}

std::optional<std::vector<float>> WindowMixer::nextWindow() {
    return cut(false);
}

std::optional<std::vector<float>> WindowMixer::nextFinalWindow() {
    return cut(true);
}

std::optional<std::vector<float>> WindowMixer::cut(bool final) {
    const bool micFull = m_mic.samples.size() >= kWindowSize;
    const bool sysFull = m_sys.samples.size() >= kWindowSize;
    if (!micFull && !sysFull)
        return std::nullopt;
    if (!(micFull && sysFull) && !final) {
        const std::size_t lead = std::max(m_mic.samples.size(), m_sys.samples.size());
        const std::size_t lag = std::min(m_mic.samples.size(), m_sys.samples.size());
        if (lead - lag <= kMaxImbalance)
            return std::nullopt; // the other source's part of this window is still on its way
    }

    std::vector<float> mixed(kWindowSize, 0.0f);
    for (Lane* lane : {&m_mic, &m_sys}) {
        std::vector<float>& samples = lane->samples;
        const std::size_t take = std::min(samples.size(), kWindowSize);
        for (std::size_t i = 0; i < take; ++i)
            mixed[i] += samples[i];
        // The accumulators hold little more than a window, so moving the rest forward is cheap.
        samples.erase(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(take));
        // Silence stood in for the rest of this source's part: what it delivers next is placed anew.
        if (take < kWindowSize)
            lane->placed = false;
    }
    for (float& sample : mixed)
        sample *= 0.5f;
    return mixed;
}

WindowMixer::Tail WindowMixer::takeTail() {
    Tail tail;
    const std::vector<float>& mic = m_mic.samples;
    const std::vector<float>& sys = m_sys.samples;
    const std::size_t common = std::min(mic.size(), sys.size());
    tail.mixed.resize(common);
    for (std::size_t i = 0; i < common; ++i)
        tail.mixed[i] = (mic[i] + sys[i]) * 0.5f;
    const std::vector<float>& longer = mic.size() > sys.size() ? mic : sys;
    tail.solo.assign(longer.begin() + static_cast<std::ptrdiff_t>(common), longer.end());
    clear();
    return tail;
}

void WindowMixer::clear() {
    m_mic = {};
    m_sys = {};
}

} // namespace murmurly
