#include "audio/SpeechGate.h"

#include <cmath>

namespace murmurly {

SpeechGate::SpeechGate(std::size_t maxHeldWindows)
    : m_maxHeld(maxHeldWindows > 0 ? maxHeldWindows : 1) {}

void SpeechGate::process(Window window, const VADAnalysisResult& result, const WriteFn& write) {
    const double seconds = static_cast<double>(window.size()) / kSampleRate;

    if (!result.hasDecision) {
        // No opinion on this window: keep it until one comes, whatever the state.
        hold(std::move(window));
        return;
    }

    switch (m_state) {
    case GateState::waitingForSpeech:
        if (result.isSpeech) {
            // Anything held without a decision is superseded by this first speech window.
            clearHeld();
            hold(std::move(window));
            m_state = GateState::confirmingSpeech;
        }
        return;

    case GateState::confirmingSpeech:
        if (!result.isSpeech) {
            clearHeld();
            m_state = GateState::waitingForSpeech;
            return;
        }
        hold(std::move(window));
        if (m_confirmationSeconds >= kConfirmSeconds) {
            writeHeld(write);
            m_trailingSilenceSeconds = 0;
            m_state = GateState::recording;
        }
        return;

    case GateState::recording:
        if (result.isSpeech) {
            m_trailingSilenceSeconds = 0;
            write(window.data(), window.size());
            return;
        }
        m_trailingSilenceSeconds += seconds;
        if (!(m_trailingSilenceSeconds < kTrailingSilenceSeconds)) { // NaN closes the gate too
            clearHeld();
            m_state = GateState::waitingForSpeech;
            return;
        }
        write(window.data(), window.size());
        return;
    }
}

void SpeechGate::flush(std::span<const float> mixedTail, std::span<const float> soloTail,
                       const WriteFn& write) {
    if (m_state == GateState::confirmingSpeech) {
        writeHeld(write);
        m_state = GateState::recording;
    }
    if (m_state != GateState::recording)
        return;
    if (!mixedTail.empty())
        write(mixedTail.data(), mixedTail.size());
    if (!soloTail.empty())
        write(soloTail.data(), soloTail.size());
}

void SpeechGate::reset() {
    m_state = GateState::waitingForSpeech;
    clearHeld();
    m_trailingSilenceSeconds = 0;
}

void SpeechGate::hold(Window window) {
    if (m_held.size() >= m_maxHeld) {
        m_confirmationSeconds -= static_cast<double>(m_held.front().size()) / kSampleRate;
        m_held.pop_front();
    }
    m_confirmationSeconds += static_cast<double>(window.size()) / kSampleRate;
    m_held.push_back(std::move(window));
}

void SpeechGate::clearHeld() {
    m_held.clear();
    m_confirmationSeconds = 0;
}

void SpeechGate::writeHeld(const WriteFn& write) {
    for (const Window& held : m_held)
        write(held.data(), held.size());
    clearHeld();
}

} // namespace murmurly
