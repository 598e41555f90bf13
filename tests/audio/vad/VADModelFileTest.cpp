// Model files that are missing, cut short, damaged or not Silero's: a clear error, never a crash,
// and never a network built from the wrong numbers.
#include "audio/vad/GateError.h"
#include "audio/vad/SileroVADGate.h"
#include "audio/vad/SileroWeights.h"
#include "audio/vad/VADModelLocation.h"
#include "audio/vad/VadTestSupport.h"
#include "support/TestFiles.h"

#include <onnx/onnx_pb.h>

#include <QDir>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <functional>

namespace murmurly {
namespace {

std::string readModelBytes() {
    return test::readFile(test::vadModelPath()).toStdString();
}

// The description of the Error `load` throws, or "" if it loads.
std::string loadError(const std::string& bytes) {
    try {
        SileroWeights::fromOnnxBytes(bytes, QStringLiteral("test.onnx"));
    } catch (const Error& error) {
        return error.description().toStdString();
    }
    return {};
}

// The real model with one 16 kHz tensor changed by `edit`.
std::string editedModel(const std::string& tensorName, const std::function<void(onnx::TensorProto&)>& edit) {
    onnx::ModelProto model;
    EXPECT_TRUE(model.ParseFromString(readModelBytes()));
    std::function<bool(onnx::GraphProto&)> visit = [&](onnx::GraphProto& graph) {
        for (auto& node : *graph.mutable_node()) {
            for (auto& attribute : *node.mutable_attribute()) {
                const std::string& output = node.output_size() ? node.output(0) : std::string();
                if (attribute.has_t() && output.find("then_branch") != std::string::npos &&
                    output.size() > tensorName.size() && output.ends_with("__" + tensorName)) {
                    edit(*attribute.mutable_t());
                    return true;
                }
                if (attribute.has_g() && visit(*attribute.mutable_g()))
                    return true;
            }
        }
        return false;
    };
    EXPECT_TRUE(visit(*model.mutable_graph())) << tensorName;
    return model.SerializeAsString();
}

TEST(VADModelFile, MissingCutDamagedOrForeignFilesAreRefusedWithAClearError) {
    try {
        SileroWeights::fromOnnxFile(QDir::tempPath() + QStringLiteral("/none.onnx"));
        ADD_FAILURE() << "loaded a file that does not exist";
    } catch (const GateError& error) {
        EXPECT_EQ(error.code(), GateError::Code::modelPackageMissing);
    }

    const std::string bytes = readModelBytes();
    ASSERT_GT(bytes.size(), 2'000'000u);
    for (std::size_t cut :
         {std::size_t{16}, std::size_t{4096}, bytes.size() / 4, bytes.size() / 2, bytes.size() - 1})
        EXPECT_NE(loadError(bytes.substr(0, cut)), "") << "cut at " << cut;
    const std::string refused = "The VAD model test.onnx is not ";
    EXPECT_EQ(loadError("not an onnx file at all"), refused + "a readable ONNX file");
    EXPECT_EQ(loadError(""), refused + "usable: no 16 kHz Silero VAD network in it");

    // A tensor of another shape, size or type is named in the error.
    const struct {
        const char* tensor;
        void (*edit)(onnx::TensorProto&);
        const char* problem;
    } damaged[] = {
        {"encoder.2.reparam_conv.weight", [](onnx::TensorProto& t) { t.set_dims(2, 2); },
         "has shape [64, 64, 2], expected [64, 64, 3]"},
        {"decoder.rnn.weight_hh", [](onnx::TensorProto& t) { t.mutable_raw_data()->resize(1000); },
         "holds 1000 bytes, expected 262144"},
        {"decoder.rnn.weight_ih", [](onnx::TensorProto& t) { t.mutable_raw_data()->resize(300000); },
         "holds 300000 bytes, expected 262144"},
        {"decoder.rnn.bias_ih", [](onnx::TensorProto& t) { t.set_data_type(onnx::TensorProto::DOUBLE); },
         "is not 32-bit float"},
    };
    for (const auto& d : damaged)
        EXPECT_EQ(loadError(editedModel(d.tensor, d.edit)),
                  refused + "usable: tensor " + d.tensor + " " + d.problem);
}

// The model is the override's file alone, or else the first of the share folder beside the program
// (<build>/share/murmurly for the test programs in <build>/bin) and the system's share folders.
// A bad file is logged and the gate stays without a model until a later start finds a good one.
TEST(VADModelFile, GateLogsABadFileAndLoadsOnceTheFileIsGood) {
    test::LogCapture log{"com.murmurly.app.SileroVADGate"};
    const QString installed = QFileInfo(test::vadModelPath()).canonicalFilePath();
    ASSERT_FALSE(installed.isEmpty());
    const QString path = QDir::tempPath() + QStringLiteral("/cut.onnx");
    test::writeFile(path, test::readFile(test::vadModelPath()).left(1'000'000));

    qputenv(VADModelLocation::environmentVariable, path.toLocal8Bit());
    EXPECT_EQ(VADModelLocation::candidates(), QStringList{path});
    SileroVADGate gate;
    gate.prepareIfNeeded();
    EXPECT_FALSE(gate.isLoaded());
    EXPECT_EQ(gate.analyze(std::vector<float>(4096, 0.1f)), (VADAnalysisResult{true, std::nullopt, false}));
    const auto errors = log.texts(QtCriticalMsg);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_TRUE(errors[0].starts_with("Silero VAD failed to load: The VAD model " + path.toStdString()))
        << errors[0];
    qputenv(VADModelLocation::environmentVariable, "/nowhere/model.onnx");
    EXPECT_TRUE(VADModelLocation::resolve().isEmpty());

    qunsetenv(VADModelLocation::environmentVariable);
    const QStringList candidates = VADModelLocation::candidates();
    ASSERT_EQ(candidates.size(), 3);
    EXPECT_EQ(candidates[1], QStringLiteral("/usr/share/murmurly/silero_vad_v6.onnx"));
    EXPECT_EQ(candidates[2], QStringLiteral("/usr/local/share/murmurly/silero_vad_v6.onnx"));
    EXPECT_EQ(QFileInfo(VADModelLocation::resolve()).canonicalFilePath(), installed);
    gate.prepareIfNeeded();
    EXPECT_TRUE(gate.isLoaded());
    EXPECT_TRUE(gate.analyze(std::vector<float>(4096, 0.0f)).hasDecision);
}

} // namespace
} // namespace murmurly
