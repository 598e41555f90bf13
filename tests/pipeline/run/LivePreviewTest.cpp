// The live preview while recording with Mistral: snapshots of the recording, streamed passes
// against the fake Mistral service, and the final transcript taking over.

#include "PipelineFixture.h"

#include "audio/AudioFileReader.h"
#include "pipeline/LivePreview.h"

namespace murmurly::test {
namespace {

class LivePreviewTest : public ServiceFixture {
protected:
    static QStringList snapshots() {
        return QDir(QDir::tempPath()).entryList({QStringLiteral("mistral-live-*.wav")}, QDir::Files);
    }

    static std::vector<float> samplesOf(const QString& path) {
        auto reader = AudioFileReader::open(path);
        auto buffer = PcmBuffer::create(reader->processingFormat(), 4096);
        std::vector<float> samples;
        for (;;) {
            reader->read(*buffer);
            if (buffer->frameLength() == 0) {
                break;
            }
            samples.insert(samples.end(), buffer->floatChannelData(0),
                           buffer->floatChannelData(0) + buffer->frameLength());
        }
        return samples;
    }

    static QByteArray delta(const QByteArray& text) {
        return FakeTranscriptionService::event(
            "transcription.text.delta", R"({"type":"transcription.text.delta","text":")" + text + "\"}");
    }
};

TEST_F(LivePreviewTest, PreviewWhileRecordingThenTheFinalTranscript) {
    // As a user might leave it after editing by hand.
    writeAll(PlainTextStore::providerURL(), "  Mistral \n");
    FakeAnswer streaming;
    streaming.events = {delta("Hello "), delta("there"),
                        FakeTranscriptionService::event(
                            "transcription.done", R"({"type":"transcription.done","text":"Hello there"})")};
    streaming.holdAfterFirstEvent = true;
    mistral.setAnswer(streaming);

    auto pipeline = makePipeline();
    pipeline->start();
    ASSERT_TRUE(pipeline->isRunning());
    audio.state->speech = true;
    audio.push(40); // 10.24 s, all kept by the gate

    // The first fragment is on display while the pass is still streaming.
    ASSERT_TRUE(waitFor([&] { return pipeline->transcriptText() == "[Live preview - Mistral]\nHello"; }));
    ASSERT_EQ(mistral.requests().size(), 1);
    EXPECT_TRUE(mistral.requests()[0].body.contains("name=\"stream\"\r\n\r\ntrue"));
    EXPECT_TRUE(lemonfox.requests().isEmpty());
    // The snapshot of a recording shorter than 20 s is all of it.
    const QStringList held = snapshots();
    ASSERT_EQ(held.size(), 1);
    EXPECT_EQ(samplesOf(QDir::temp().filePath(held[0])).size(), 40u * 4096u);

    mistral.release();
    ASSERT_TRUE(waitFor([&] { return mistral.answerFinished() && snapshots().isEmpty(); }));
    ASSERT_TRUE(
        waitFor([&] { return pipeline->transcriptText() == "[Live preview - Mistral]\nHello there"; }));
    EXPECT_TRUE(pipeline->status() == QStringLiteral("Listening..."));
    EXPECT_TRUE(pipeline->lastErrorDescription().isEmpty());

    // The preview stays until the run's transcript replaces it.
    mistral.setAnswer(FakeAnswer{});
    pipeline->stop();
    EXPECT_EQ(pipeline->transcriptText(), "[Live preview - Mistral]\nHello there");
    ASSERT_TRUE(waitFor([&] { return !pipeline->isTranscribing(); }));
    EXPECT_EQ(pipeline->transcriptText(), QStringLiteral("[00:00] speaker_1: Hello there.\n"));
    EXPECT_TRUE(lemonfox.requests().isEmpty());
    EXPECT_TRUE(snapshots().isEmpty());
}

TEST_F(LivePreviewTest, SnapshotHoldsTheLastTwentySeconds) {
    const QString recording = appFolder() + QStringLiteral("/mixed-2025-03-01T14:05:09Z.wav");
    writeWav(recording, 30 * 16000);
    const std::vector<float> original = samplesOf(recording);
    // While recording, the header lags behind the data.
    breakWavHeader(recording);

    const auto snapshot = LivePreview::snapshotForLivePreview(recording);
    ASSERT_TRUE(snapshot.has_value());
    EXPECT_TRUE(QFileInfo(*snapshot).fileName().startsWith(QStringLiteral("mistral-live-")));
    EXPECT_EQ(QFileInfo(*snapshot).absolutePath(), QFileInfo(QDir::tempPath()).absoluteFilePath());
    const std::vector<float> tail = samplesOf(*snapshot);
    ASSERT_EQ(tail.size(), 20u * 16000u);
    EXPECT_TRUE(
        std::equal(tail.begin(), tail.end(), original.end() - static_cast<std::ptrdiff_t>(tail.size())));
    EXPECT_EQ(LivePreview::fileSize(*snapshot), QFileInfo(*snapshot).size());
    QFile::remove(*snapshot);

    // Nothing worth sending: no file, or a result of 4096 bytes or less (which is not left behind).
    EXPECT_FALSE(LivePreview::snapshotForLivePreview(appFolder() + QStringLiteral("/missing.wav")));
    const QString tiny = appFolder() + QStringLiteral("/mixed-2025-03-01T15:00:00Z.wav");
    writeWav(tiny, 900);
    EXPECT_FALSE(LivePreview::snapshotForLivePreview(tiny));
    const QString garbage = appFolder() + QStringLiteral("/mixed-2025-03-01T16:00:00Z.wav");
    writeAll(garbage, QByteArray(10000, 'x'));
    EXPECT_FALSE(LivePreview::snapshotForLivePreview(garbage));
    EXPECT_TRUE(snapshots().isEmpty());
    EXPECT_EQ(LivePreview::fileSize(appFolder() + QStringLiteral("/missing.wav")), 0);
}

} // namespace
} // namespace murmurly::test
