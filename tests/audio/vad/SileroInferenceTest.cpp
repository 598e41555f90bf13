// Our Silero network against ONNX Runtime's probabilities for the same file
// (tests/data/vad/vad-mix.csv, made by tools/make-vad-test-audio.sh).
#include "audio/vad/SileroVADGate.h"
#include "audio/vad/SileroVADModel.h"
#include "audio/vad/VadTestSupport.h"

#include <QFile>

#include <gtest/gtest.h>
#include <sndfile.h>

#include <cmath>
#include <limits>
#include <memory>

namespace murmurly {
namespace {

struct ReferenceWindow {
    float probability;
    bool speech;
};

std::vector<float> readSamples(const QString& path) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path.toLocal8Bit().constData(), SFM_READ, &info);
    if (!file) {
        ADD_FAILURE() << "cannot open " << path.toStdString() << ": " << sf_strerror(nullptr);
        return {};
    }
    EXPECT_EQ(info.samplerate, 16000);
    EXPECT_EQ(info.channels, 1);
    std::vector<float> samples(static_cast<std::size_t>(info.frames));
    EXPECT_EQ(sf_readf_float(file, samples.data(), info.frames), info.frames);
    sf_close(file);
    return samples;
}

std::vector<ReferenceWindow> readReference(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        ADD_FAILURE() << "cannot open " << path.toStdString();
        return {};
    }
    file.readLine(); // header
    std::vector<ReferenceWindow> windows;
    while (!file.atEnd()) {
        const QList<QByteArray> fields = file.readLine().trimmed().split(',');
        if (fields.size() < 4) {
            continue;
        }
        EXPECT_EQ(fields[0].toULongLong(), windows.size());
        windows.push_back({fields[2].toFloat(), fields[3] == "1"});
    }
    return windows;
}

class SileroInference : public ::testing::Test {
protected:
    void SetUp() override {
        samples = readSamples(test::vadDataPath("vad-mix.wav"));
        reference = readReference(test::vadDataPath("vad-mix.csv"));
        ASSERT_GE(samples.size(), 60u * 16000u) << "the test recording should last at least a minute";
        ASSERT_EQ(reference.size(), samples.size() / 4096);
    }

    std::vector<float> samples;
    std::vector<ReferenceWindow> reference;
};

// Every window through the gate with the real model (context and state carried from window to
// window): probability within 1e-4 of ONNX Runtime, and exactly its speech decisions. Both ways of
// computing the STFT are held to it: the FFT the official basis allows, and the product with the
// basis as stored that any other basis gets.
TEST_F(SileroInference, GateMatchesOnnxRuntimeOnEveryWindow) {
    for (const auto stft : {SileroNetwork::Stft::automatic, SileroNetwork::Stft::matrix}) {
        auto model = SileroVADModel::load(test::vadModelPath(), stft);
        EXPECT_EQ(model->network().usesFft(), stft == SileroNetwork::Stft::automatic);
        SileroVADGate gate([&] { return std::move(model); });
        gate.prepareIfNeeded();
        ASSERT_TRUE(gate.isLoaded());

        int speechWindows = 0;
        int decisionChanges = 0;
        bool previous = true;
        for (std::size_t w = 0; w < reference.size(); ++w) {
            const VADAnalysisResult result = gate.analyze(samples.data() + w * 4096, 4096);
            ASSERT_TRUE(result.hasDecision);
            ASSERT_TRUE(result.probability.has_value());
            EXPECT_NEAR(*result.probability, reference[w].probability, 1e-4) << "window " << w;
            EXPECT_EQ(result.isSpeech, reference[w].speech) << "window " << w;
            speechWindows += result.isSpeech ? 1 : 0;
            decisionChanges += result.isSpeech != previous ? 1 : 0;
            previous = result.isSpeech;
        }
        // The recording is meant to exercise both states many times; a flat answer would make the
        // comparison above weak.
        EXPECT_GT(speechWindows, 50);
        EXPECT_LT(speechWindows, static_cast<int>(reference.size()) - 50);
        EXPECT_GT(decisionChanges, 10);
    }
}

// A reset must forget the state and the context: the same audio gives the same answers again,
// and one window fed in pieces is analysed exactly like the whole window.
TEST_F(SileroInference, ResetRestartsTheRecurrentStateAndPiecesMakeTheSameWindow) {
    SileroVADGate gate;
    gate.prepareIfNeeded();
    constexpr std::size_t windows = 40; // silence into speech
    std::vector<float> pieces;
    for (std::size_t w = 0; w < windows; ++w) {
        // Uneven pieces: 1000 + 3000 + 96 samples per window.
        const float* window = samples.data() + w * 4096;
        gate.analyze(window, 1000);
        gate.analyze(window + 1000, 3000);
        const VADAnalysisResult result = gate.analyze(window + 4000, 96);
        ASSERT_TRUE(result.probability.has_value());
        EXPECT_NEAR(*result.probability, reference[w].probability, 1e-4) << "window " << w;
        pieces.push_back(*result.probability);
    }
    gate.reset();
    EXPECT_EQ(gate.analyze(samples.data(), 100), (VADAnalysisResult{true, std::nullopt, false}));
    gate.reset(); // drops the 100 pending samples
    for (std::size_t w = 0; w < windows; ++w) {
        const VADAnalysisResult result = gate.analyze(samples.data() + w * 4096, 4096);
        ASSERT_TRUE(result.probability.has_value());
        EXPECT_EQ(*result.probability, pieces[w]) << "window " << w;
    }
}

// One NaN or infinity in the mix (in the part that becomes the next window's context, too) is
// silence to the network: every window from then on gets the probability of a run where that
// sample was silence, finite, instead of NaN for the rest of the session.
TEST_F(SileroInference, ANonFiniteSampleSpoilsNoLaterWindow) {
    std::vector<float> clean(samples.begin(), samples.begin() + 20 * 4096);
    std::vector<float> spoilt = clean;
    for (std::size_t at : {5 * 4096 + 4090, 9 * 4096 + 7}) {
        clean[at] = 0.0f;
        spoilt[at] =
            at % 2 ? std::numeric_limits<float>::infinity() : std::numeric_limits<float>::quiet_NaN();
    }
    SileroVADGate gate;
    gate.prepareIfNeeded();
    std::vector<float> expected;
    for (std::size_t w = 0; w < 20; ++w)
        expected.push_back(gate.analyze(clean.data() + w * 4096, 4096).probability.value_or(-1));
    gate.reset();
    for (std::size_t w = 0; w < 20; ++w)
        EXPECT_EQ(gate.analyze(spoilt.data() + w * 4096, 4096).probability.value_or(-1), expected[w]) << w;
}

} // namespace
} // namespace murmurly
