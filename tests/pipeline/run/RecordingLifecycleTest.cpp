// Start, stop, levels and the silence flag of the pipeline, on the real recorder with a scripted
// microphone and gate.

#include "PipelineFixture.h"

#include "audio/OpusCopy.h"
#include "audio/SystemAudioMonitor.h"

#include <QSignalSpy>

namespace murmurly::test {
namespace {

using RecordingLifecycleTest = PipelineFixture;

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

// The levels and the silence flag while recording; a second start changes nothing. The silent
// flag turns on at the first update that comes 2.0 s or more after the first silent update of an
// uninterrupted stretch; a speech decision clears it and restarts the count.
TEST_F(RecordingLifecycleTest, LevelsAndSilenceWhileRecordingAndASecondStartChangesNothing) {
    auto pipeline = makePipeline();
    QSignalSpy running(pipeline.get(), &TranscriptionPipeline::isRunningChanged);
    pipeline->stop(); // not running: nothing happens
    EXPECT_FALSE(pipeline->status().has_value());
    pipeline->start();
    ASSERT_TRUE(pipeline->isRunning());
    const QString audioPath = pipeline->currentSessionAudioPath().value_or(QString());
    EXPECT_TRUE(readFile(pendingPath()).contains(QFileInfo(audioPath).fileName().toUtf8()));

    // The microphone level is 2 x RMS of the block: a 0.3 tone gives about 0.42. The displayed
    // level is the larger of the microphone's and system audio's, whichever spoke last.
    pushWindowAndSettle(*pipeline, true);
    const float micLevel = 2.0f * 0.3f / std::sqrt(2.0f);
    EXPECT_NEAR(pipeline->level(), micLevel, 0.02f);
    SystemAudioMonitor monitor;
    pipeline->bindSystemMonitor(&monitor);
    monitor.onLevel(0.1f);
    EXPECT_NEAR(pipeline->level(), micLevel, 0.02f);
    monitor.onLevel(0.9f);
    EXPECT_FLOAT_EQ(pipeline->level(), 0.9f);
    pushWindowAndSettle(*pipeline, true);
    EXPECT_FLOAT_EQ(pipeline->level(), 0.9f);
    monitor.onLevel(0.0f);

    // Each window's silence report is applied before the next window's score arrives, so after
    // window n + 1 has settled the pipeline has seen the hint of window n.
    const auto silentAfter = [&](double seconds, bool speech = false) {
        advance(seconds);
        pushWindowAndSettle(*pipeline, speech);
        return pipeline->isSilent();
    };
    for (const double start : {0.0, 10.0}) {
        EXPECT_FALSE(silentAfter(start)); // the hint turns on with this window
        EXPECT_FALSE(silentAfter(0.0));   // silence starts counting here
        EXPECT_FALSE(silentAfter(1.99));
        EXPECT_TRUE(silentAfter(0.01)); // exactly 2.0 s after the first silent update
        silentAfter(0.0, true);
        EXPECT_FALSE(silentAfter(0.0, true)); // a speech decision ends the stretch
    }

    // Start while recording (the file already holds speech) neither retries nor restarts anything.
    pipeline->start();
    EXPECT_FALSE(pipeline->isTranscribing());
    EXPECT_EQ(pipeline->status(), QStringLiteral("Listening..."));
    EXPECT_EQ(pipeline->currentSessionAudioPath(), audioPath);
    EXPECT_EQ(running.count(), 1);

    silentAfter(0.0);
    silentAfter(0.0);
    ASSERT_TRUE(silentAfter(2.0));
    pipeline->stop();
    EXPECT_FALSE(pipeline->isRunning());
    EXPECT_FALSE(pipeline->isSilent());
    EXPECT_FALSE(pipeline->vadScore().has_value());
    EXPECT_EQ(pipeline->status(), QStringLiteral("Transcribing..."));
    EXPECT_TRUE(pipeline->isTranscribing());
    EXPECT_GT(pipeline->level(), 0.3f); // the last value stays after the recording
    ASSERT_TRUE(waitFor([&] { return !pipeline->isTranscribing(); }));
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
    EXPECT_FALSE(TranscriptionPipeline::fileHasAudio(appFolder())); // a folder is no audio file

    // A WAV goes only once a complete Opus copy of it exists; other files are never touched.
    const QString wav = writeSessionWav(appFolder() + "/mixed-G.wav");
    const QByteArray recording = readFile(wav);
    TranscriptionPipeline::cleanupWAVIfOpusExists(wav);
    make("mixed-G.opus", 10); // not a copy of it
    TranscriptionPipeline::cleanupWAVIfOpusExists(wav);
    EXPECT_TRUE(QFileInfo::exists(wav));
    const QString copy =
        OpusCopy::write(wav, transcriptsFolder() + "/mixed-G.opus", OpusCopy::Existing::replace);
    TranscriptionPipeline::cleanupWAVIfOpusExists(wav);
    EXPECT_FALSE(QFileInfo::exists(wav));
    for (const char* name : {"mixed-H.flac", "other-I.wav"}) {
        writeFile(appFolder() + '/' + name, recording);
        writeFile(transcriptsFolder() + '/' + QFileInfo(name).baseName() + ".opus", readFile(copy));
        TranscriptionPipeline::cleanupWAVIfOpusExists(appFolder() + '/' + name);
        EXPECT_TRUE(QFileInfo::exists(appFolder() + '/' + name)) << name;
    }
}

} // namespace
} // namespace murmurly::test
