// The gate's rules (pending samples, clamping, hysteresis, state feedback, failures) with a
// scripted model in place of the network.
#include "audio/vad/SileroVADGate.h"
#include "audio/vad/GateError.h"
#include "audio/vad/VadTestSupport.h"

#include <gtest/gtest.h>

#include <deque>
#include <numeric>

namespace murmurly {
namespace {

constexpr const char* category = "com.murmurly.app.SileroVADGate";
const std::string outputInvalid = "VAD processing failed: The operation couldn’t be completed. "
                                  "(murmurly.GateError error 1.)";

// What the scripted model does for one prediction.
struct Step {
    float probability = 0.0f;
    std::size_t hiddenCount = 128; // elements returned in new_hidden_state
    std::size_t cellCount = 128;
    bool dropOutput = false; // leave out vad_output
    bool fail = false;       // throw instead of answering
};

// Returns the scripted probabilities and, as new state, every element = call number (hidden) or
// −call number (cell), so a test can tell which call's state came back in.
class ScriptedModel : public VADModel {
public:
    std::deque<Step> script;
    std::vector<VADFeatures> calls;

    VADFeatures predict(const VADFeatures& inputs) override {
        calls.push_back(inputs);
        const Step step = script.empty() ? Step{} : script.front();
        if (!script.empty()) {
            script.pop_front();
        }
        if (step.fail) {
            throw SystemError(QStringLiteral("scripted failure"));
        }
        const auto n = static_cast<float>(calls.size());
        VADFeatures out;
        if (!step.dropOutput) {
            out["vad_output"] = {{1, 1}, {step.probability}};
        }
        out["new_hidden_state"] = {{1, 128}, std::vector<float>(step.hiddenCount, n)};
        out["new_cell_state"] = {{1, 128}, std::vector<float>(step.cellCount, -n)};
        return out;
    }
};

std::vector<float> ramp(std::size_t count, float first) {
    std::vector<float> values(count);
    std::iota(values.begin(), values.end(), first);
    return values;
}

class Gate : public ::testing::Test {
protected:
    // The gate owns its model; the test keeps a pointer to script it.
    SileroVADGate gate{[this] {
        auto owned = std::make_unique<ScriptedModel>();
        model = owned.get();
        return owned;
    }};
    ScriptedModel* model = nullptr;
    test::LogCapture log{category};

    void SetUp() override {
        gate.prepareIfNeeded();
        ASSERT_TRUE(model);
    }

    // One 4096-sample window with the given scripted probability; returns the gate's answer.
    VADAnalysisResult window(float probability) {
        model->script.push_back({probability});
        return gate.analyze(std::vector<float>(4096, 0.1f));
    }

    static std::vector<float> values(const VADFeatures& features, const char* name) {
        return features.at(name).values;
    }
};

TEST(GateWithoutModel, AnswersNoDecisionAndKeepsNoSamplesUntilALoadSucceeds) {
    test::LogCapture log{category};
    int attempts = 0;
    ScriptedModel* model = nullptr;
    SileroVADGate gate([&]() -> std::unique_ptr<VADModel> {
        if (++attempts == 1) {
            throw GateError(GateError::Code::modelPackageMissing);
        }
        auto owned = std::make_unique<ScriptedModel>();
        model = owned.get();
        return owned;
    });
    const VADAnalysisResult none{true, std::nullopt, false};
    EXPECT_EQ(gate.analyze(std::vector<float>(4096, 0.5f)), none); // before any load
    gate.prepareIfNeeded();
    EXPECT_FALSE(gate.isLoaded());
    EXPECT_EQ(log.texts(QtCriticalMsg), std::vector<std::string>{"Silero VAD failed to load: The operation "
                                                                 "couldn’t be completed. (murmurly.GateError "
                                                                 "error 0.)"});
    EXPECT_EQ(gate.analyze(std::vector<float>(3000, 0.5f)), none);

    gate.prepareIfNeeded(); // the next session start tries again
    ASSERT_TRUE(gate.isLoaded());
    EXPECT_EQ(log.texts(QtInfoMsg), std::vector<std::string>{"Silero VAD loaded"});
    gate.prepareIfNeeded(); // and then keeps the model
    EXPECT_EQ(attempts, 2);
    // The 7096 samples offered while unloaded were not kept: 2048 more make no window yet.
    EXPECT_EQ(gate.analyze(std::vector<float>(2048, 0.5f)), none);
    EXPECT_TRUE(model->calls.empty());
}

TEST_F(Gate, HalfWindowsArePendingUntilAWholeWindowIsThere) {
    const auto firstHalf = ramp(2048, 1.0f);
    const auto secondHalf = ramp(2048, 2049.0f);
    model->script.push_back({0.2f});
    EXPECT_EQ(gate.analyze(firstHalf), (VADAnalysisResult{true, std::nullopt, false}));
    EXPECT_TRUE(model->calls.empty());
    EXPECT_EQ(gate.analyze(secondHalf), (VADAnalysisResult{false, 0.2f, true}));
    ASSERT_EQ(model->calls.size(), 1u);
    // 64 zeros of context after a reset, then the two halves in order.
    std::vector<float> expected(64, 0.0f);
    const auto whole = ramp(4096, 1.0f);
    expected.insert(expected.end(), whole.begin(), whole.end());
    EXPECT_EQ(values(model->calls[0], "audio_input"), expected);
    EXPECT_EQ(model->calls[0].at("audio_input").shape, (std::vector<std::int64_t>{1, 4160}));
    EXPECT_EQ(values(model->calls[0], "hidden_state"), std::vector<float>(128, 0.0f));
    EXPECT_EQ(values(model->calls[0], "cell_state"), std::vector<float>(128, 0.0f));
}

TEST_F(Gate, TwoWindowsAtOnceRunTwiceFeedingStateAndContextForward) {
    model->script = {{0.9f}, {0.1f}};
    const auto samples = ramp(8192, 0.0f);
    EXPECT_EQ(gate.analyze(samples), (VADAnalysisResult{false, 0.1f, true}));
    ASSERT_EQ(model->calls.size(), 2u);
    const auto second = values(model->calls[1], "audio_input");
    ASSERT_EQ(second.size(), 4160u);
    EXPECT_EQ(std::vector<float>(second.begin(), second.begin() + 64), ramp(64, 4096.0f - 64.0f));
    EXPECT_EQ(std::vector<float>(second.begin() + 64, second.end()), ramp(4096, 4096.0f));
    EXPECT_EQ(values(model->calls[1], "hidden_state"), std::vector<float>(128, 1.0f));
    EXPECT_EQ(values(model->calls[1], "cell_state"), std::vector<float>(128, -1.0f));

    // reset: zeros again, and pending samples are dropped.
    gate.analyze(ramp(100, 0.0f));
    gate.reset();
    model->script = {{0.45f}};
    EXPECT_EQ(gate.analyze(ramp(4096, 0.0f)), (VADAnalysisResult{true, 0.45f, true}));
    EXPECT_EQ(values(model->calls[2], "audio_input"), [] {
        std::vector<float> v(64, 0.0f);
        const auto r = ramp(4096, 0.0f);
        v.insert(v.end(), r.begin(), r.end());
        return v;
    }());
    EXPECT_EQ(values(model->calls[2], "hidden_state"), std::vector<float>(128, 0.0f));
}

TEST_F(Gate, ProbabilitiesAreClampedAndGoThroughHysteresis) {
    EXPECT_EQ(window(1.2f), (VADAnalysisResult{true, 1.0f, true}));
    EXPECT_EQ(window(-0.3f), (VADAnalysisResult{false, 0.0f, true}));
    gate.reset();

    std::vector<bool> speech;
    for (float p : {0.6f, 0.5f, 0.4f, 0.34f, 0.5f, 0.55f, 0.35f}) {
        speech.push_back(window(p).isSpeech);
    }
    EXPECT_EQ(speech, (std::vector<bool>{true, true, true, false, false, true, true}));

    gate.reset(); // speech is assumed until the first clear "no"
    EXPECT_EQ(window(0.45f), (VADAnalysisResult{true, 0.45f, true}));
    gate.reset();
    EXPECT_EQ(window(0.30f), (VADAnalysisResult{false, 0.30f, true}));
    gate.reset();
    EXPECT_EQ(window(0.0f), (VADAnalysisResult{false, 0.0f, true}));
}

TEST_F(Gate, ShortOrMissingOutputsFailTheWindowAndKeepThePreviousAnswer) {
    model->script = {{0.2f}, {0.9f, 127}};
    EXPECT_EQ(gate.analyze(ramp(8192, 0.0f)), (VADAnalysisResult{false, 0.2f, true}));
    EXPECT_EQ(log.texts(QtCriticalMsg), std::vector<std::string>{outputInvalid});

    // A short cell state fails after the hidden state was taken: the next window gets the failed
    // call's hidden state, the last good cell state, and the last good window's context.
    model->script = {{0.9f, 128, 5}, {0.8f}};
    EXPECT_EQ(gate.analyze(ramp(4096, 10000.0f)), (VADAnalysisResult{false, 0.2f, true}));
    EXPECT_EQ(gate.analyze(ramp(4096, 20000.0f)), (VADAnalysisResult{true, 0.8f, true}));
    ASSERT_EQ(model->calls.size(), 4u);
    EXPECT_EQ(values(model->calls[3], "hidden_state"), std::vector<float>(128, 3.0f));
    EXPECT_EQ(values(model->calls[3], "cell_state"), std::vector<float>(128, -1.0f));
    const auto audio = values(model->calls[3], "audio_input");
    EXPECT_EQ(std::vector<float>(audio.begin(), audio.begin() + 64), ramp(64, 4096.0f - 64.0f));

    model->script = {{0.1f, 128, 128, true}};
    EXPECT_EQ(gate.analyze(ramp(4096, 0.0f)), (VADAnalysisResult{true, 0.8f, true}));
    EXPECT_EQ(log.texts(QtCriticalMsg).size(), 3u);
}

TEST_F(Gate, AFailedInferenceLeavesLaterSamplesPendingForTheNextCall) {
    model->script = {{0.0f, 128, 128, false, true}, {0.7f}};
    EXPECT_EQ(gate.analyze(ramp(8192, 0.0f)), (VADAnalysisResult{true, std::nullopt, false}));
    EXPECT_EQ(log.texts(QtCriticalMsg), std::vector<std::string>{"VAD processing failed: scripted failure"});
    ASSERT_EQ(model->calls.size(), 1u);
    // The failed window is gone; the second one waits and runs at the next call.
    EXPECT_EQ(gate.analyze(nullptr, 0), (VADAnalysisResult{true, 0.7f, true}));
    ASSERT_EQ(model->calls.size(), 2u);
    const auto audio = values(model->calls[1], "audio_input");
    EXPECT_EQ(std::vector<float>(audio.begin() + 64, audio.end()), ramp(4096, 4096.0f));
    EXPECT_EQ(std::vector<float>(audio.begin(), audio.begin() + 64), std::vector<float>(64, 0.0f));
}

} // namespace
} // namespace murmurly
