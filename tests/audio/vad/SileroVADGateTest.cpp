// The gate's rules for loading, clamping, hysteresis and failed windows, with a scripted model in
// place of the network.
#include "audio/vad/SileroVADGate.h"
#include "audio/vad/GateError.h"
#include "audio/vad/VadTestSupport.h"

#include <gtest/gtest.h>

#include <deque>
#include <numeric>

namespace murmurly {
namespace {

constexpr const char* category = "com.murmurly.app.SileroVADGate";
const VADAnalysisResult noDecision{true, std::nullopt, false};

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
        if (!script.empty())
            script.pop_front();
        if (step.fail)
            throw SystemError(QStringLiteral("scripted failure"));
        const auto n = float(calls.size());
        VADFeatures out;
        if (!step.dropOutput)
            out["vad_output"] = {{1, 1}, {step.probability}};
        out["new_hidden_state"] = {{1, 128}, std::vector<float>(step.hiddenCount, n)};
        out["new_cell_state"] = {{1, 128}, std::vector<float>(step.cellCount, -n)};
        return out;
    }
    // What call i was given: its audio (context first), hidden and cell state.
    const std::vector<float>& audio(std::size_t i) const { return calls.at(i).at("audio_input").values; }
    const std::vector<float>& hidden(std::size_t i) const { return calls.at(i).at("hidden_state").values; }
    const std::vector<float>& cell(std::size_t i) const { return calls.at(i).at("cell_state").values; }
};

// `count` consecutive values from `first`; with `context`, the 64 context samples go first.
std::vector<float> ramp(std::size_t count, float first, std::vector<float> context = {}) {
    std::vector<float> values(count);
    std::iota(values.begin(), values.end(), first);
    context.insert(context.end(), values.begin(), values.end());
    return context;
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
};

TEST(GateWithoutModel, AnswersNoDecisionAndKeepsNoSamplesUntilALoadSucceeds) {
    test::LogCapture log{category};
    int attempts = 0;
    ScriptedModel* model = nullptr;
    SileroVADGate gate([&]() -> std::unique_ptr<VADModel> {
        if (++attempts == 1)
            throw GateError(GateError::Code::modelPackageMissing);
        auto owned = std::make_unique<ScriptedModel>();
        model = owned.get();
        return owned;
    });
    EXPECT_EQ(gate.analyze(std::vector<float>(4096, 0.5f)), noDecision); // before any load
    gate.prepareIfNeeded();
    EXPECT_FALSE(gate.isLoaded());
    EXPECT_EQ(log.texts(QtCriticalMsg), std::vector<std::string>{"Silero VAD failed to load: The operation "
                                                                 "couldn’t be completed. (murmurly.GateError "
                                                                 "error 0.)"});
    EXPECT_EQ(gate.analyze(std::vector<float>(3000, 0.5f)), noDecision);
    gate.prepareIfNeeded(); // the next session start tries again
    ASSERT_TRUE(gate.isLoaded());
    EXPECT_EQ(log.texts(QtInfoMsg), std::vector<std::string>{"Silero VAD loaded"});
    gate.prepareIfNeeded(); // and then keeps the model
    EXPECT_EQ(attempts, 2);
    // The 7096 samples offered while unloaded were not kept: 2048 more make no window yet.
    EXPECT_EQ(gate.analyze(std::vector<float>(2048, 0.5f)), noDecision);
    EXPECT_TRUE(model->calls.empty());
}

// How whole windows, context and state flow from call to call, and what a reset clears, is held
// to ONNX Runtime's answers in SileroInferenceTest; here only what the real model never does.
TEST_F(Gate, ProbabilitiesAreClampedAndGoThroughHysteresis) {
    EXPECT_EQ(window(1.2f), (VADAnalysisResult{true, 1.0f, true}));
    EXPECT_EQ(window(-0.3f), (VADAnalysisResult{false, 0.0f, true}));
    gate.reset();
    std::vector<bool> speech;
    for (float p : {0.6f, 0.5f, 0.4f, 0.34f, 0.5f, 0.55f, 0.35f})
        speech.push_back(window(p).isSpeech);
    EXPECT_EQ(speech, (std::vector<bool>{true, true, true, false, false, true, true}));
    gate.reset(); // speech is assumed until the first clear "no"
    EXPECT_EQ(window(0.45f), (VADAnalysisResult{true, 0.45f, true}));
    gate.reset();
    EXPECT_EQ(window(0.30f), (VADAnalysisResult{false, 0.30f, true}));
}

TEST_F(Gate, AFailedWindowKeepsThePreviousAnswerAndLaterSamplesWait) {
    const std::string outputInvalid = "VAD processing failed: The operation couldn’t be completed. "
                                      "(murmurly.GateError error 1.)";
    // A thrown inference: no decision yet; its window is gone, the next one waits for the next call.
    model->script = {{0.0f, 128, 128, false, true}, {0.7f}};
    EXPECT_EQ(gate.analyze(ramp(8192, 0.0f)), noDecision);
    EXPECT_EQ(log.texts(QtCriticalMsg), std::vector<std::string>{"VAD processing failed: scripted failure"});
    ASSERT_EQ(model->calls.size(), 1u);
    EXPECT_EQ(gate.analyze(nullptr, 0), (VADAnalysisResult{true, 0.7f, true}));
    EXPECT_EQ(model->audio(1), ramp(4096, 4096.0f, std::vector<float>(64)));

    // A short hidden state fails the window: the previous answer stands.
    model->script = {{0.2f}, {0.9f, 127}};
    EXPECT_EQ(gate.analyze(ramp(8192, 0.0f)), (VADAnalysisResult{false, 0.2f, true}));
    EXPECT_EQ(log.texts(QtCriticalMsg).back(), outputInvalid);
    // A short cell state fails after the hidden state was taken: the next window gets the failed
    // call's hidden state, the last good cell state, and the last good window's context.
    model->script = {{0.9f, 128, 5}, {0.8f}};
    EXPECT_EQ(gate.analyze(ramp(4096, 10000.0f)), (VADAnalysisResult{false, 0.2f, true}));
    EXPECT_EQ(gate.analyze(ramp(4096, 20000.0f)), (VADAnalysisResult{true, 0.8f, true}));
    ASSERT_EQ(model->calls.size(), 6u);
    EXPECT_EQ(model->hidden(5), std::vector<float>(128, 5.0f));
    EXPECT_EQ(model->cell(5), std::vector<float>(128, -3.0f));
    EXPECT_EQ(model->audio(5), ramp(4096, 20000.0f, ramp(64, 4096.0f - 64.0f)));
    // No probability in the output: failed too.
    model->script = {{0.1f, 128, 128, true}};
    EXPECT_EQ(gate.analyze(ramp(4096, 0.0f)), (VADAnalysisResult{true, 0.8f, true}));
    EXPECT_EQ(log.texts(QtCriticalMsg).size(), 4u);
}

} // namespace
} // namespace murmurly
