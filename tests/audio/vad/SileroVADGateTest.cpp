// The Silero gate: our network against ONNX Runtime's probabilities for the same file
// (tests/data/vad/vad-mix.csv, made by tools/make-vad-test-audio.sh); the gate's rules for
// clamping, hysteresis and failed windows, with a scripted model in place of the network; finding
// and loading the model file, and refusing one that is missing, cut short, damaged or not Silero's
// (a clear error, never a network built from the wrong numbers).
#include "audio/vad/SileroVADGate.h"
#include "audio/vad/SileroVADModel.h"
#include "audio/vad/SileroWeights.h"
#include "audio/vad/VADModelLocation.h"
#include "common/Error.h"
#include "support/TestFiles.h"

#include <onnx/onnx_pb.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sndfile.h>

#include <deque>
#include <limits>
#include <map>
#include <numeric>
#include <tuple>

namespace murmurly {
namespace {

// The gate's log messages by type, collected while a LogCapture lives (logged on the test's thread).
std::map<QtMsgType, std::vector<std::string>> logged;
struct LogCapture {
    LogCapture() {
        logged.clear();
        qInstallMessageHandler([](QtMsgType type, const QMessageLogContext& context, const QString& message) {
            if (qstrcmp(context.category, "com.murmurly.app.SileroVADGate") == 0)
                logged[type].push_back(message.toStdString());
        });
    }
    ~LogCapture() { qInstallMessageHandler(nullptr); } // Qt's own handler again
};

const QString kModelPath = qEnvironmentVariable("MURMURLY_VAD_MODEL");
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
    // What call i was given as audio: the context first.
    const std::vector<float>& audio(std::size_t i) const { return calls.at(i).at("audio_input").values; }
};

// `count` consecutive values from `first`; with `context`, the 64 context samples go first.
std::vector<float> ramp(std::size_t count, float first, std::vector<float> context = {}) {
    std::vector<float> values(count);
    std::iota(values.begin(), values.end(), first);
    context.insert(context.end(), values.begin(), values.end());
    return context;
}

// How whole windows, context and state flow from call to call, and what a reset clears, is held
// to ONNX Runtime's answers in the SileroInference test below; here only what the real model never
// does.
TEST(Gate, ClampsHysteresisNonFiniteSamplesAndFailedWindows) {
    const LogCapture capture;
    // The gate owns its model; the test keeps a pointer to script it.
    ScriptedModel* model = nullptr;
    SileroVADGate gate([&] {
        auto owned = std::make_unique<ScriptedModel>();
        model = owned.get();
        return owned;
    });
    gate.prepareIfNeeded();
    ASSERT_TRUE(model);
    // One 4096-sample window with the given scripted probability; returns the gate's answer.
    const auto window = [&](float probability) {
        model->script.push_back({probability});
        return gate.analyze(std::vector<float>(4096, 0.1f));
    };
    EXPECT_EQ(window(1.2f), (VADAnalysisResult{true, 1.0f, true}));
    EXPECT_EQ(window(-0.3f), (VADAnalysisResult{false, 0.0f, true}));
    // After a reset speech is assumed until the first clear "no"; then it takes 0.55 to switch on
    // and less than 0.35 to switch off.
    gate.reset();
    std::vector<bool> speech;
    for (float p : {0.45f, 0.34f, 0.5f, 0.55f, 0.35f, 0.34f})
        speech.push_back(window(p).isSpeech);
    EXPECT_EQ(speech, (std::vector<bool>{true, false, false, true, true, false}));

    // A NaN or infinity in the mix is silence to the network, in its window and in the context
    // carried into the next one: either would spoil every later probability of the session.
    std::vector<float> spoilt = ramp(8192, 1.0f);
    spoilt[4090] = std::numeric_limits<float>::quiet_NaN();
    spoilt[4100] = std::numeric_limits<float>::infinity();
    gate.analyze(spoilt);
    const std::size_t last = model->calls.size() - 1;
    EXPECT_EQ(model->audio(last - 1)[64 + 4090], 0.0f);
    EXPECT_EQ(model->audio(last)[58], 0.0f); // the context: the previous window's last 64 samples
    EXPECT_EQ(model->audio(last)[64 + 4], 0.0f);

    // A failed window keeps the previous answer and later samples wait; from a fresh start.
    gate.reset();
    model->calls.clear();
    // A thrown inference: no decision yet; its window is gone, the next one waits for the next call.
    model->script = {{0.0f, 128, 128, false, true}, {0.7f}};
    EXPECT_EQ(gate.analyze(ramp(8192, 0.0f)), noDecision);
    EXPECT_EQ(logged[QtCriticalMsg], std::vector<std::string>{"VAD processing failed: scripted failure"});
    EXPECT_EQ(gate.analyze(nullptr, 0), (VADAnalysisResult{true, 0.7f, true}));
    EXPECT_EQ(model->audio(1), ramp(4096, 4096.0f, std::vector<float>(64)));

    // A short hidden state fails the window: the previous answer stands.
    model->script = {{0.2f}, {0.9f, 127}};
    EXPECT_EQ(gate.analyze(ramp(8192, 0.0f)), (VADAnalysisResult{false, 0.2f, true}));
    EXPECT_EQ(logged[QtCriticalMsg].back(), "VAD processing failed: The operation couldn’t be completed. "
                                            "(murmurly.GateError error 1.)");
    // A short cell state fails after the hidden state was taken: the next window gets the failed
    // call's hidden state, the last good cell state, and the last good window's context.
    model->script = {{0.9f, 128, 5}, {0.8f}};
    EXPECT_EQ(gate.analyze(ramp(4096, 10000.0f)), (VADAnalysisResult{false, 0.2f, true}));
    EXPECT_EQ(gate.analyze(ramp(4096, 20000.0f)), (VADAnalysisResult{true, 0.8f, true}));
    EXPECT_EQ(model->calls.at(5).at("hidden_state").values, std::vector<float>(128, 5.0f));
    EXPECT_EQ(model->calls.at(5).at("cell_state").values, std::vector<float>(128, -3.0f));
    EXPECT_EQ(model->audio(5), ramp(4096, 20000.0f, ramp(64, 4096.0f - 64.0f)));
    // No probability in the output: failed too.
    model->script = {{0.1f, 128, 128, true}};
    EXPECT_EQ(gate.analyze(ramp(4096, 0.0f)), (VADAnalysisResult{true, 0.8f, true}));
    EXPECT_EQ(logged[QtCriticalMsg].size(), 4u);
}

// The description of the Error loading these bytes throws, or "" if they load.
std::string loadError(const std::string& bytes) {
    try {
        SileroWeights::fromOnnxBytes(bytes, QStringLiteral("test.onnx"));
    } catch (const Error& error) {
        return error.description().toStdString();
    }
    return {};
}

// Changes the 16 kHz branch's constant `name` (in the If node's then-branch) with `edit`.
bool editTensor(onnx::GraphProto& graph, const std::string& name, void (*edit)(onnx::TensorProto&)) {
    for (auto& node : *graph.mutable_node()) {
        for (auto& attribute : *node.mutable_attribute()) {
            const std::string output = node.output_size() ? node.output(0) : std::string();
            if (attribute.has_t() && output.find("then_branch") != std::string::npos &&
                output.ends_with("__" + name)) {
                edit(*attribute.mutable_t());
                return true;
            }
            if (attribute.has_g() && editTensor(*attribute.mutable_g(), name, edit))
                return true;
        }
    }
    return false;
}

TEST(VADModelFile, BadFilesAreRefusedAndTheGateLoadsOnceAStartFindsAGoodOne) {
    const std::string bytes = test::readFile(kModelPath).toStdString();
    ASSERT_GT(bytes.size(), 2'000'000u);
    for (std::size_t cut : {std::size_t{16}, std::size_t{4096}, bytes.size() / 2, bytes.size() - 1})
        EXPECT_NE(loadError(bytes.substr(0, cut)), "") << "cut at " << cut;
    const std::string refused = "The VAD model test.onnx is not ";
    EXPECT_EQ(loadError("not an onnx file at all"), refused + "a readable ONNX file");
    EXPECT_EQ(loadError(""), refused + "usable: no 16 kHz Silero VAD network in it");

    // A tensor of another shape, size or type is named in the error.
    const std::tuple<const char*, void (*)(onnx::TensorProto&), const char*> damaged[] = {
        {"encoder.2.reparam_conv.weight", [](onnx::TensorProto& t) { t.set_dims(2, 2); },
         "has shape [64, 64, 2], expected [64, 64, 3]"},
        {"decoder.rnn.weight_hh", [](onnx::TensorProto& t) { t.mutable_raw_data()->resize(1000); },
         "holds 1000 bytes, expected 262144"},
        {"decoder.rnn.weight_ih", [](onnx::TensorProto& t) { t.mutable_raw_data()->resize(300000); },
         "holds 300000 bytes, expected 262144"},
        {"decoder.rnn.bias_ih", [](onnx::TensorProto& t) { t.set_data_type(onnx::TensorProto::DOUBLE); },
         "is not 32-bit float"},
    };
    for (const auto& [tensor, edit, problem] : damaged) {
        onnx::ModelProto model;
        ASSERT_TRUE(model.ParseFromString(bytes));
        ASSERT_TRUE(editTensor(*model.mutable_graph(), tensor, edit)) << tensor;
        EXPECT_EQ(loadError(model.SerializeAsString()), refused + "usable: tensor " + tensor + " " + problem);
    }

    // The model is the override's file alone, or else the first of the share folder beside the program
    // (<build>/share/murmurly for the test programs in <build>/bin) and the system's share folders.
    // Without a usable file the failure is logged, the gate answers "no decision" and keeps no samples,
    // and the next session start tries again; once loaded, the model is kept.
    const LogCapture capture;
    const QString installed = QFileInfo(kModelPath).canonicalFilePath();
    const QString cut = QDir::tempPath() + QStringLiteral("/cut.onnx");
    test::writeFile(cut, test::readFile(installed).left(1'000'000));
    SileroVADGate gate;
    const auto expectNoModel = [&](const QString& file, const std::string& error) {
        qputenv(VADModelLocation::environmentVariable, file.toLocal8Bit());
        EXPECT_EQ(VADModelLocation::candidates(), QStringList{file});
        gate.prepareIfNeeded();
        EXPECT_EQ(gate.analyze(std::vector<float>(3000, 0.5f)), noDecision);
        EXPECT_THAT(logged[QtCriticalMsg].back(),
                    ::testing::StartsWith("Silero VAD failed to load: " + error));
    };
    expectNoModel(QStringLiteral("/nowhere/model.onnx"),
                  "The operation couldn’t be completed. (murmurly.GateError error 0.)");
    expectNoModel(cut, "The VAD model " + cut.toStdString());
    EXPECT_EQ(logged[QtCriticalMsg].size(), 2u);

    qunsetenv(VADModelLocation::environmentVariable);
    EXPECT_EQ(VADModelLocation::candidates().mid(1),
              (QStringList{"/usr/share/murmurly/silero_vad_v6.onnx",
                           "/usr/local/share/murmurly/silero_vad_v6.onnx"}));
    EXPECT_EQ(QFileInfo(VADModelLocation::resolve()).canonicalFilePath(), installed);
    gate.prepareIfNeeded();
    gate.prepareIfNeeded();
    EXPECT_EQ(logged[QtInfoMsg], std::vector<std::string>{"Silero VAD loaded"});
    // The 6000 samples offered while unloaded were not kept: 2048 more make no window yet.
    EXPECT_EQ(gate.analyze(std::vector<float>(2048, 0.0f)), noDecision);
    EXPECT_TRUE(gate.analyze(std::vector<float>(2048, 0.0f)).hasDecision);
}

// Every window through the gate with the real model (context and state carried from window to
// window): probability within 1e-4 of ONNX Runtime, and exactly its speech decisions. Both ways of
// computing the STFT are held to it: the FFT the official basis allows, and the product with the
// basis as stored that any other basis gets. A reset then forgets state, context and pending
// samples: the same audio fed in uneven pieces gives exactly the same answers again.
TEST(SileroInference, GateMatchesOnnxRuntimeOnEveryWindowAndAfterAReset) {
    SF_INFO info{};
    const QString data = qEnvironmentVariable("MURMURLY_SOURCE_DIR") + QStringLiteral("/tests/data/vad/");
    SNDFILE* file = sf_open(QFile::encodeName(data + "vad-mix.wav").constData(), SFM_READ, &info);
    ASSERT_TRUE(file && info.samplerate == 16000 && info.channels == 1) << sf_strerror(nullptr);
    std::vector<float> samples(std::size_t(info.frames));
    sf_readf_float(file, samples.data(), info.frames);
    sf_close(file);
    ASSERT_GE(samples.size(), 60u * 16000u) << "the test recording should last at least a minute";
    const auto window = [&](std::size_t w) { return samples.data() + w * 4096; };

    // window,first_sample,probability,speech,... under a header line
    std::vector<float> probabilities;
    std::vector<bool> speech;
    for (const QByteArray& line : test::readFile(data + "vad-mix.csv").trimmed().split('\n').mid(1)) {
        const QList<QByteArray> fields = line.split(',');
        ASSERT_GE(fields.size(), 4);
        probabilities.push_back(fields[2].toFloat());
        speech.push_back(fields[3] == "1");
    }
    ASSERT_EQ(probabilities.size(), samples.size() / 4096);

    for (const auto stft : {SileroNetwork::Stft::matrix, SileroNetwork::Stft::automatic}) {
        auto model = SileroVADModel::load(kModelPath, stft);
        EXPECT_EQ(model->network().usesFft(), stft == SileroNetwork::Stft::automatic);
        SileroVADGate gate([&] { return std::move(model); });
        gate.prepareIfNeeded();
        std::vector<float> answers;
        for (std::size_t w = 0; w < probabilities.size(); ++w) {
            const VADAnalysisResult result = gate.analyze(window(w), 4096);
            ASSERT_TRUE(result.hasDecision && result.probability);
            EXPECT_NEAR(*result.probability, probabilities[w], 1e-4) << "window " << w;
            EXPECT_EQ(result.isSpeech, speech[w]) << "window " << w;
            answers.push_back(*result.probability);
        }

        gate.analyze(samples.data(), 100);
        gate.reset();                          // drops the 100 pending samples
        for (std::size_t w = 0; w < 40; ++w) { // silence into speech
            gate.analyze(window(w), 1000);
            gate.analyze(window(w) + 1000, 3000);
            EXPECT_EQ(gate.analyze(window(w) + 4000, 96).probability, answers[w]) << "window " << w;
        }
    }
}

} // namespace
} // namespace murmurly
