#include "audio/SpeechGate.h"

#include "RecorderTestSupport.h"

#include <gtest/gtest.h>

using namespace murmurly;
using murmurly::test::ScriptedVAD;

namespace {

// Feeds one 4096-sample window per script character; window i holds the value i. Returns what
// was written, one value per write (the first sample of each).
struct GateRun {
    SpeechGate gate;
    std::vector<float> written;
    std::vector<std::size_t> writeSizes;
    SpeechGate::WriteFn write = [this](const float* samples, std::size_t count) {
        written.push_back(samples[0]);
        writeSizes.push_back(count);
    };

    explicit GateRun(std::size_t maxHeld = SpeechGate::kMaxHeldWindows)
        : gate(maxHeld) {}

    void feed(const std::string& script) {
        for (char code : script) {
            gate.process(SpeechGate::Window(4096, static_cast<float>(next++)), ScriptedVAD::resultFor(code),
                         write);
        }
    }
    int next = 0;
};

std::vector<float> indices(std::initializer_list<int> list) {
    return std::vector<float>(list.begin(), list.end());
}

struct Pattern {
    const char* script;
    std::vector<float> written;
    GateState finalState;
};

} // namespace

TEST(SpeechGate, ReleasesWindowsAsThePatternDictates) {
    const std::vector<Pattern> patterns = {
        // A lone speech window is not enough; it is dropped with the next non-speech one.
        {"SN", {}, GateState::waitingForSpeech},
        {"SS", indices({0, 1}), GateState::recording},
        {"NNSNSS", indices({4, 5}), GateState::recording},
        // Three non-speech windows after speech are kept, the fourth closes the gate.
        {"SSNNNN", indices({0, 1, 2, 3, 4}), GateState::waitingForSpeech},
        {"SSNNN", indices({0, 1, 2, 3, 4}), GateState::recording},
        // Speech in the pause starts the count again.
        {"SSNNNSNNNN", indices({0, 1, 2, 3, 4, 5, 6, 7, 8}), GateState::waitingForSpeech},
        // After closing, confirmation starts from nothing.
        {"SSNNNNSN", indices({0, 1, 2, 3, 4}), GateState::waitingForSpeech},
        {"SSNNNNSS", indices({0, 1, 2, 3, 4, 6, 7}), GateState::recording},
        // Undecided windows while confirming count towards the half second and are released with it.
        {"S?S", indices({0, 1, 2}), GateState::recording},
        // Undecided windows while waiting are superseded by the first speech window.
        {"??SS", indices({2, 3}), GateState::recording},
        // Undecided windows while recording are held, never written, and forgotten on closing.
        {"SS??NNNN", indices({0, 1, 4, 5, 6}), GateState::waitingForSpeech},
    };
    for (const Pattern& pattern : patterns) {
        SCOPED_TRACE(pattern.script);
        GateRun run;
        run.feed(pattern.script);
        EXPECT_EQ(run.written, pattern.written);
        EXPECT_EQ(run.gate.state(), pattern.finalState);
        for (std::size_t size : run.writeSizes)
            EXPECT_EQ(size, 4096u);
    }
}
