#include "audio/SpeechGate.h"

#include "RecorderTestSupport.h"

#include <gtest/gtest.h>

#include <string_view>
#include <tuple>

using namespace murmurly;
using murmurly::test::ScriptedVAD;

TEST(SpeechGate, ReleasesWindowsAsThePatternDictates) {
    // One 4096-sample window per script character ('S' speech, 'N' none, '?' undecided); window i
    // holds the value i. Returns the windows released, in order.
    const auto run = [](SpeechGate& gate, std::string_view script, bool stop = false) {
        std::string written;
        const auto write = [&](const float* samples, std::size_t count) {
            written += char('0' + int(samples[0]));
            EXPECT_EQ(count, 4096u);
        };
        for (std::size_t i = 0; i < script.size(); ++i)
            gate.process(SpeechGate::Window(4096, float(i)), ScriptedVAD::resultFor(script[i]), write);
        if (stop)
            gate.flush({}, {}, write);
        return written;
    };
    // Script, windows written, state at the end.
    const std::tuple<const char*, const char*, GateState> patterns[] = {
        // A lone speech window is not enough; it is dropped with the next non-speech one.
        {"SN", "", GateState::waitingForSpeech},
        {"SS", "01", GateState::recording},
        {"NNSNSS", "45", GateState::recording},
        // Three non-speech windows after speech are kept, the fourth closes the gate.
        {"SSNNNN", "01234", GateState::waitingForSpeech},
        {"SSNNN", "01234", GateState::recording},
        // Speech in the pause starts the count again.
        {"SSNNNSNNNN", "012345678", GateState::waitingForSpeech},
        // After closing, confirmation starts from nothing.
        {"SSNNNNSN", "01234", GateState::waitingForSpeech},
        {"SSNNNNSS", "0123467", GateState::recording},
        // Undecided windows while confirming count towards the half second and are released with it.
        {"S?S", "012", GateState::recording},
        // Undecided windows while waiting are superseded by the first speech window.
        {"??SS", "23", GateState::recording},
        // Undecided windows while recording are held, never written, and forgotten on closing.
        {"SS??NNNN", "01456", GateState::waitingForSpeech},
    };
    for (const auto& [script, written, finalState] : patterns) {
        SpeechGate gate;
        EXPECT_EQ(run(gate, script), written) << script;
        EXPECT_EQ(gate.state(), finalState) << script;
    }
    // One speech decision, then the model gives none: what follows is held while confirming, up
    // to the bound, the newest kept; the stop writes what stayed.
    SpeechGate bounded(3);
    EXPECT_EQ(run(bounded, "S??????", true), "456");
}
