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

    static std::int64_t framesOf(const QString& path) { return AudioFileReader::open(path)->length(); }

    // A streamed event of the type "transcription.<kind>" that carries `text`.
    static QByteArray event(const QByteArray& kind, const QByteArray& text) {
        return FakeTranscriptionService::event("transcription." + kind, R"({"type":"transcription.)" + kind +
                                                                            R"(","text":")" + text + "\"}");
    }
};

// The preview of a pass is shown as it streams in. stop() ends the pass in flight at once (a
// fragment already on its way is dropped), and the preview stays until the run's transcript
// replaces it.
TEST_F(LivePreviewTest, PreviewWhileRecordingThenTheFinalTranscript) {
    // As a user might leave it after editing by hand.
    writeFile(PlainTextStore::providerURL(), "  Mistral \n");
    // Two fragments in one piece: both are read at once, the second is applied after the first.
    mistral.setAnswer({.events = {event("text.delta", "Hello ") + event("text.delta", "there"),
                                  event("text.delta", " again")},
                       .holdAfterFirstEvent = true});
    auto pipeline = makePipeline();
    bool stopped = false;
    QObject::connect(pipeline.get(), &TranscriptionPipeline::transcriptTextChanged, pipeline.get(), [&] {
        if (stopped || pipeline->transcriptText() != "[Live preview - Mistral]\nHello") {
            return;
        }
        stopped = true;
        // On display while the pass is still streaming.
        EXPECT_FALSE(mistral.answerFinished());
        ASSERT_EQ(mistral.requests().size(), 1);
        EXPECT_TRUE(mistral.requests()[0].body.contains("name=\"stream\"\r\n\r\ntrue"));
        // The snapshot of a recording shorter than 20 s is all of it.
        const QStringList held = snapshots();
        ASSERT_EQ(held.size(), 1);
        EXPECT_EQ(framesOf(QDir::temp().filePath(held[0])), 40 * 4096);
        // A fragment of any pass but the current one (one still arriving after a newer pass has
        // begun) is not shown.
        LivePreview(*pipeline, nullptr).appendDelta(QStringLiteral("stale"), QUuid::createUuid());
        EXPECT_EQ(pipeline->transcriptText(), "[Live preview - Mistral]\nHello");
        mistral.setAnswer(slowAnswer()); // the run after stop() takes a second
        pipeline->stop();
    });
    pipeline->start();
    ASSERT_TRUE(pipeline->isRunning());
    audio.push(40); // 10.24 s, all kept by the gate
    ASSERT_TRUE(waitFor([&] { return !pipeline->isRunning(); }));
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(pipeline->transcriptText(), "[Live preview - Mistral]\nHello");
    // The held stream is abandoned, not waited for (the fake service holds it for 20 s).
    EXPECT_TRUE(QTest::qWaitFor([&] { return snapshots().isEmpty(); }, 5000));
    ASSERT_TRUE(waitFor([&] { return !pipeline->isTranscribing(); }));
    EXPECT_EQ(pipeline->transcriptText(), QStringLiteral("[00:00] speaker_1: Hello there.\n"));
}

// A pass is sent only when the recording has grown since the last one was sent, whether that one
// went well or not, and the first pass waits 2 s. No preview at all with Lemonfox. A shorter final
// text than the one on display most likely comes from a window that slid past earlier speech: the
// longer text stays.
TEST_F(LivePreviewTest, PassesFollowTheRecordingAndTheLongerTextStays) {
    auto pipeline = makePipeline();
    pipeline->start();
    audio.push(40);
    QTest::qWait(2500);
    EXPECT_TRUE(mistral.requests().isEmpty()) << "no preview with Lemonfox";
    pipeline->stop();
    ASSERT_TRUE(waitFor([&] { return !pipeline->isTranscribing(); }));

    ASSERT_TRUE(PlainTextStore::writeProvider(TranscriptionProvider::mistral));
    mistral.setAnswer({.status = 500});
    pipeline->start();
    audio.push(40);
    QTest::qWait(1000);
    EXPECT_TRUE(mistral.requests().isEmpty()) << "the first pass waits 2 s";
    ASSERT_TRUE(waitFor([&] { return mistral.requests().size() == 1; }));
    mistral.setAnswer({.events = {event("done", "Hello there, general")}});
    // The next tick (6 s on) finds the recording as it was: nothing is sent, nothing is shown.
    QTest::qWait(7000);
    EXPECT_EQ(mistral.requests().size(), 1);
    EXPECT_TRUE(pipeline->transcriptText().isEmpty());
    EXPECT_TRUE(pipeline->lastErrorDescription().isEmpty());

    audio.push(8);
    ASSERT_TRUE(waitFor([&] { return pipeline->transcriptText().endsWith(QStringLiteral("general")); }));
    mistral.setAnswer({.events = {event("done", "Kenobi")}});
    audio.push(8);
    ASSERT_TRUE(waitFor([&] { return mistral.requests().size() == 3 && mistral.answerFinished(); }));
    ASSERT_TRUE(waitFor([&] { return snapshots().isEmpty(); })); // each pass's snapshot goes with it
    QTest::qWait(200);
    EXPECT_EQ(pipeline->transcriptText(), "[Live preview - Mistral]\nHello there, general");
}

TEST_F(LivePreviewTest, SnapshotHoldsTheLastTwentySeconds) {
    const QString recording = appFolder() + QStringLiteral("/mixed-2025-03-01T14:05:09Z.wav");
    // 10.25 s more than the window: its tone is half a period off the recording's start.
    writeSessionWav(recording, 30.25);
    // While recording, the header lags behind the data.
    breakWavHeader(recording);

    const auto snapshot = LivePreview::snapshotForLivePreview(recording);
    ASSERT_TRUE(snapshot.has_value());
    EXPECT_TRUE(QFileInfo(*snapshot).fileName().startsWith(QStringLiteral("mistral-live-")));
    EXPECT_EQ(QFileInfo(*snapshot).absolutePath(), QFileInfo(QDir::tempPath()).absoluteFilePath());
    // Both hold the samples as 32-bit floats after the header.
    EXPECT_EQ(framesOf(*snapshot), 20 * 16000);
    EXPECT_EQ(readFile(*snapshot).right(20 * 16000 * 4), readFile(recording).right(20 * 16000 * 4));
    QFile::remove(*snapshot);

    // Nothing worth sending: no file, or a result of 4096 bytes or less (which is not left behind).
    EXPECT_FALSE(LivePreview::snapshotForLivePreview(appFolder() + QStringLiteral("/missing.wav")));
    const QString tiny = appFolder() + QStringLiteral("/mixed-2025-03-01T15:00:00Z.wav");
    writeSessionWav(tiny, 900 / 16000.0);
    EXPECT_FALSE(LivePreview::snapshotForLivePreview(tiny));
    const QString garbage = appFolder() + QStringLiteral("/mixed-2025-03-01T16:00:00Z.wav");
    writeFile(garbage, QByteArray(10000, 'x'));
    EXPECT_FALSE(LivePreview::snapshotForLivePreview(garbage));
    EXPECT_TRUE(snapshots().isEmpty());
}

} // namespace
} // namespace murmurly::test
