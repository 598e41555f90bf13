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

TEST(SpeechGate, TracksConfirmationAndTrailingSilence) {
    GateRun run;
    run.feed("S");
    EXPECT_EQ(run.gate.state(), GateState::confirmingSpeech);
    EXPECT_EQ(run.gate.heldWindowCount(), 1u);
    EXPECT_DOUBLE_EQ(run.gate.confirmationSeconds(), 0.256);
    run.feed("S");
    EXPECT_EQ(run.gate.heldWindowCount(), 0u);
    EXPECT_DOUBLE_EQ(run.gate.confirmationSeconds(), 0.0);
    run.feed("NN");
    EXPECT_DOUBLE_EQ(run.gate.trailingSilenceSeconds(), 0.512);
    run.feed("S");
    EXPECT_DOUBLE_EQ(run.gate.trailingSilenceSeconds(), 0.0);
    run.feed("?");
    EXPECT_EQ(run.gate.heldWindowCount(), 1u);
    EXPECT_EQ(run.gate.state(), GateState::recording);
    run.gate.reset();
    EXPECT_EQ(run.gate.state(), GateState::waitingForSpeech);
    EXPECT_EQ(run.gate.heldWindowCount(), 0u);
    EXPECT_DOUBLE_EQ(run.gate.confirmationSeconds(), 0.0);
}

TEST(SpeechGate, FlushKeepsSpeechBeingConfirmedAndTailsOnlyWhileOpen) {
    const std::vector<float> mixed(300, 100.0f);
    const std::vector<float> solo(700, 200.0f);

    GateRun confirming;
    confirming.feed("NS");
    confirming.gate.flush(mixed, solo, confirming.write);
    EXPECT_EQ(confirming.written, indices({1, 100, 200}));
    EXPECT_EQ(confirming.writeSizes, (std::vector<std::size_t>{4096, 300, 700}));
    EXPECT_EQ(confirming.gate.state(), GateState::recording);

    GateRun waiting;
    waiting.feed("SN");
    waiting.gate.flush(mixed, solo, waiting.write);
    EXPECT_TRUE(waiting.written.empty());

    GateRun closed;
    closed.feed("SSNNNN");
    closed.gate.flush(mixed, solo, closed.write);
    EXPECT_EQ(closed.written.size(), 5u);

    GateRun recording;
    recording.feed("SS");
    recording.gate.flush({}, solo, recording.write); // no zero-length writes
    EXPECT_EQ(recording.written, indices({0, 1, 200}));
}

TEST(SpeechGate, UndecidedWindowsAreBoundedDroppingTheOldest) {
    GateRun run(3);
    run.feed("S????");
    EXPECT_EQ(run.gate.heldWindowCount(), 3u);
    EXPECT_EQ(run.gate.droppedHeldWindows(), 2u);
    EXPECT_DOUBLE_EQ(run.gate.confirmationSeconds(), 3 * 0.256);
    EXPECT_EQ(run.gate.state(), GateState::confirmingSpeech);
    run.gate.flush({}, {}, run.write);
    EXPECT_EQ(run.written, indices({2, 3, 4}));
}
