// Start, stop, levels and the silence flag of the pipeline, on the real recorder with a scripted
// microphone and gate.

#include "PipelineFixture.h"

#include "audio/OpusCopy.h"

#include "audio/SystemAudioMonitor.h"

#include <QSignalSpy>

namespace murmurly::test {
namespace {

class RecordingLifecycleTest : public PipelineFixture {};

TEST_F(RecordingLifecycleTest, StartFailuresSayWhyAndKeepWhatTheyMust) {
    // No microphone: nothing is created or written.
    microphoneAuthorized = false;
    auto pipeline = makePipeline();
    pipeline->start();
    EXPECT_EQ(pipeline->lastErrorDescription(), QStringLiteral("Microphone permission is not granted."));
    EXPECT_FALSE(pipeline->isRunning());
    EXPECT_FALSE(pipeline->status().has_value());
    EXPECT_FALSE(pendingExists());
    EXPECT_FALSE(pipeline->currentSessionAudioPath().has_value());

    // The recorder fails: the new session stays current with its record, for crash protection.
    microphoneAuthorized = true;
    audio.state->failStart = true;
    pipeline->start();
    EXPECT_EQ(pipeline->lastErrorDescription(),
              QStringLiteral("Failed to start microphone input: Failed to start audio engine"));
    EXPECT_FALSE(pipeline->isRunning());
    ASSERT_TRUE(pipeline->currentSessionAudioPath().has_value());
    EXPECT_TRUE(readFile(pendingPath())
                    .contains(QFileInfo(*pipeline->currentSessionAudioPath()).fileName().toUtf8()));

    // Its file holds no audio, so the next start drops it with its record, even a start that
    // then fails.
    audio.state->failStart = false;
    microphoneAuthorized = false;
    pipeline->start();
    EXPECT_FALSE(pendingExists());
    EXPECT_FALSE(pipeline->currentSessionAudioPath().has_value());
    microphoneAuthorized = true;
    pipeline->start();
    EXPECT_TRUE(pipeline->isRunning());
    EXPECT_EQ(pipeline->status(), QStringLiteral("Listening..."));
    EXPECT_TRUE(pipeline->lastErrorDescription().isEmpty());
    EXPECT_TRUE(pendingExists());
}

TEST_F(RecordingLifecycleTest, StartStopStateAndLevels) {
    auto pipeline = makePipeline();
    QSignalSpy running(pipeline.get(), &TranscriptionPipeline::isRunningChanged);

    pipeline->stop(); // not running: nothing happens
    EXPECT_EQ(running.count(), 0);
    EXPECT_FALSE(pipeline->status().has_value());

    pipeline->start();
    ASSERT_TRUE(pipeline->isRunning());
    EXPECT_EQ(running.count(), 1);
    EXPECT_EQ(pipeline->status(), QStringLiteral("Listening..."));
    EXPECT_TRUE(pipeline->transcriptText().isEmpty());
    ASSERT_TRUE(pipeline->currentSessionAudioPath().has_value());
    const QString audioPath = *pipeline->currentSessionAudioPath();
    EXPECT_TRUE(QFileInfo(audioPath).fileName().startsWith(QStringLiteral("mixed-")));
    EXPECT_EQ(QFileInfo(audioPath).absolutePath(), QFileInfo(appFolder()).absoluteFilePath());
    const QByteArray record = readFile(pendingPath());
    EXPECT_TRUE(record.contains("\"startedAt\"")) << record.constData();
    EXPECT_TRUE(record.contains(QFileInfo(audioPath).fileName().toUtf8())) << record.constData();

    // The microphone level is 2 x RMS of the block: a 0.3 tone gives about 0.42.
    pushWindowAndSettle(*pipeline, true);
    const float micLevel = 2.0f * 0.3f / std::sqrt(2.0f);
    EXPECT_NEAR(pipeline->level(), micLevel, 0.02f);
    ASSERT_TRUE(pipeline->vadScore().has_value());

    // The displayed level is the larger of the microphone's and system audio's, whichever spoke last.
    SystemAudioMonitor monitor;
    pipeline->bindSystemMonitor(&monitor);
    monitor.onLevel(0.1f);
    QCoreApplication::sendPostedEvents();
    EXPECT_NEAR(pipeline->level(), micLevel, 0.02f);
    monitor.onLevel(0.9f);
    QCoreApplication::sendPostedEvents();
    EXPECT_FLOAT_EQ(pipeline->level(), 0.9f);
    pushWindowAndSettle(*pipeline, true);
    EXPECT_FLOAT_EQ(pipeline->level(), 0.9f);
    monitor.onLevel(0.0f);
    QCoreApplication::sendPostedEvents();

    // Start while recording (the file already holds speech) neither retries nor restarts anything.
    pushWindowAndSettle(*pipeline, true);
    pushWindowAndSettle(*pipeline, true);
    pipeline->start();
    EXPECT_FALSE(pipeline->isTranscribing());
    EXPECT_EQ(pipeline->status(), QStringLiteral("Listening..."));
    EXPECT_EQ(pipeline->currentSessionAudioPath(), audioPath);
    EXPECT_EQ(running.count(), 1);

    pipeline->stop();
    EXPECT_FALSE(pipeline->isRunning());
    EXPECT_FALSE(pipeline->isSilent());
    EXPECT_FALSE(pipeline->vadScore().has_value());
    EXPECT_EQ(pipeline->status(), QStringLiteral("Transcribing..."));
    EXPECT_TRUE(pipeline->isTranscribing());
    // The level keeps its last value after the recording.
    EXPECT_GT(pipeline->level(), 0.3f);
    // Without an API key the run fails, and a session run that ends is not kept for a retry.
    ASSERT_TRUE(waitFor([&] { return !pipeline->isTranscribing(); }));
    EXPECT_TRUE(pipeline->lastErrorDescription().startsWith(QStringLiteral("Transcription failed: ")));
    EXPECT_FALSE(pendingExists());
    EXPECT_FALSE(pipeline->currentSessionAudioPath().has_value());
    EXPECT_FALSE(pipeline->vadScore().has_value());
}

// The silent flag turns on at the first update that comes 2.0 s or more after the first silent
// update of an uninterrupted stretch; a speech decision clears it and restarts the count.
TEST_F(RecordingLifecycleTest, SilenceNeedsTwoUninterruptedSeconds) {
    auto pipeline = makePipeline();
    pipeline->start();
    ASSERT_TRUE(pipeline->isRunning());

    // Each window's silence report is applied before the next window's score arrives, so after
    // pushWindowAndSettle(n + 1) the pipeline has seen the hint of window n.
    pushWindowAndSettle(*pipeline, false); // t = 0: the hint turns on with this window
    pushWindowAndSettle(*pipeline, false); // silence starts counting at t = 0
    EXPECT_FALSE(pipeline->isSilent());

    advance(1.9);
    pushWindowAndSettle(*pipeline, false);
    EXPECT_FALSE(pipeline->isSilent());

    advance(0.1); // exactly 2.0 s after the first silent update
    pushWindowAndSettle(*pipeline, false);
    EXPECT_TRUE(pipeline->isSilent());

    pushWindowAndSettle(*pipeline, true); // a speech decision ends the stretch
    pushWindowAndSettle(*pipeline, true);
    EXPECT_FALSE(pipeline->isSilent());

    advance(10.0);
    pushWindowAndSettle(*pipeline, false); // a new stretch starts here, at t = 12.0
    pushWindowAndSettle(*pipeline, false);
    EXPECT_FALSE(pipeline->isSilent());
    advance(1.99);
    pushWindowAndSettle(*pipeline, false);
    EXPECT_FALSE(pipeline->isSilent());
    advance(0.01);
    pushWindowAndSettle(*pipeline, false);
    EXPECT_TRUE(pipeline->isSilent());

    pipeline->stop();
    EXPECT_FALSE(pipeline->isSilent());
}

TEST_F(RecordingLifecycleTest, AudioCheckAndWavCleanup) {
    const auto make = [](const QString& name, qsizetype size) {
        const QString path = (name.endsWith(".opus") ? transcriptsFolder() : appFolder()) + '/' + name;
        writeFile(path, QByteArray(size, 'x'));
        return path;
    };
    EXPECT_FALSE(TranscriptionPipeline::fileHasAudio(make("mixed-A.wav", 512))); // a bare header
    EXPECT_TRUE(TranscriptionPipeline::fileHasAudio(make("mixed-B.wav", 513)));
    EXPECT_TRUE(TranscriptionPipeline::fileHasAudio(make("mixed-C.OGG", 1)));
    EXPECT_FALSE(TranscriptionPipeline::fileHasAudio(make("mixed-D.opus", 0)));
    EXPECT_FALSE(TranscriptionPipeline::fileHasAudio(appFolder() + "/missing.wav"));
    EXPECT_FALSE(TranscriptionPipeline::fileHasAudio(appFolder())); // a folder is no audio file

    // A WAV goes only once a complete Opus copy of it exists; other files are never touched.
    const QString wav = appFolder() + "/mixed-G.wav";
    writeWav(wav, 16000);
    const QByteArray recording = readFile(wav);
    TranscriptionPipeline::cleanupWAVIfOpusExists(wav);
    EXPECT_TRUE(QFileInfo::exists(wav));
    make("mixed-G.opus", 10); // not a copy of it
    TranscriptionPipeline::cleanupWAVIfOpusExists(wav);
    EXPECT_TRUE(QFileInfo::exists(wav));
    const QString copy =
        OpusCopy::write(wav, transcriptsFolder() + "/mixed-G.opus", OpusCopy::Existing::replace);
    TranscriptionPipeline::cleanupWAVIfOpusExists(wav);
    EXPECT_FALSE(QFileInfo::exists(wav));
    const QString flac = appFolder() + "/mixed-H.flac";
    const QString foreign = appFolder() + "/other-I.wav";
    for (const QString& path : {flac, foreign})
        writeFile(path, recording);
    for (const char* name : {"/mixed-H.opus", "/other-I.opus"})
        writeFile(transcriptsFolder() + name, readFile(copy));
    TranscriptionPipeline::cleanupWAVIfOpusExists(flac);
    TranscriptionPipeline::cleanupWAVIfOpusExists(foreign);
    EXPECT_TRUE(QFileInfo::exists(flac) && QFileInfo::exists(foreign));
}

} // namespace
} // namespace murmurly::test
