// Our Silero network against ONNX Runtime's probabilities for the same file
// (tests/data/vad/vad-mix.csv, made by tools/make-vad-test-audio.sh).
#include "audio/vad/SileroVADGate.h"
#include "audio/vad/SileroVADModel.h"
#include "support/TestFiles.h"

#include <QFile>

#include <gtest/gtest.h>
#include <sndfile.h>

namespace murmurly {
namespace {

class SileroInference : public ::testing::Test {
protected:
    void SetUp() override {
        SF_INFO info{};
        const QString data = qEnvironmentVariable("MURMURLY_SOURCE_DIR") + QStringLiteral("/tests/data/vad/");
        SNDFILE* file = sf_open(QFile::encodeName(data + "vad-mix.wav").constData(), SFM_READ, &info);
        ASSERT_TRUE(file && info.samplerate == 16000 && info.channels == 1) << sf_strerror(nullptr);
        samples.resize(std::size_t(info.frames));
        sf_readf_float(file, samples.data(), info.frames);
        sf_close(file);
        ASSERT_GE(samples.size(), 60u * 16000u) << "the test recording should last at least a minute";

        // window,first_sample,probability,speech,... under a header line
        for (const QByteArray& line : test::readFile(data + "vad-mix.csv").trimmed().split('\n').mid(1)) {
            const QList<QByteArray> fields = line.split(',');
            ASSERT_GE(fields.size(), 4);
            probabilities.push_back(fields[2].toFloat());
            speech.push_back(fields[3] == "1");
        }
        ASSERT_EQ(probabilities.size(), samples.size() / 4096);
    }
    const float* window(std::size_t w) const { return samples.data() + w * 4096; }

    std::vector<float> samples;
    std::vector<float> probabilities;
    std::vector<bool> speech;
};

// Every window through the gate with the real model (context and state carried from window to
// window): probability within 1e-4 of ONNX Runtime, and exactly its speech decisions. Both ways of
// computing the STFT are held to it: the FFT the official basis allows, and the product with the
// basis as stored that any other basis gets. A reset then forgets state, context and pending
// samples: the same audio fed in uneven pieces gives exactly the same answers again.
TEST_F(SileroInference, GateMatchesOnnxRuntimeOnEveryWindowAndAfterAReset) {
    for (const auto stft : {SileroNetwork::Stft::matrix, SileroNetwork::Stft::automatic}) {
        auto model = SileroVADModel::load(qEnvironmentVariable("MURMURLY_VAD_MODEL"), stft);
        EXPECT_EQ(model->network().usesFft(), stft == SileroNetwork::Stft::automatic);
        SileroVADGate gate([&] { return std::move(model); });
        gate.prepareIfNeeded();
        ASSERT_TRUE(gate.isLoaded());
        std::vector<float> answers;
        for (std::size_t w = 0; w < probabilities.size(); ++w) {
            const VADAnalysisResult result = gate.analyze(window(w), 4096);
            ASSERT_TRUE(result.hasDecision && result.probability);
            EXPECT_NEAR(*result.probability, probabilities[w], 1e-4) << "window " << w;
            EXPECT_EQ(result.isSpeech, speech[w]) << "window " << w;
            answers.push_back(*result.probability);
        }

        gate.reset();
        EXPECT_EQ(gate.analyze(samples.data(), 100), (VADAnalysisResult{true, std::nullopt, false}));
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
