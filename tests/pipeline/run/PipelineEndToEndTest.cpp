// The whole pipeline against a real sound server (the "pulse" fixture's private daemon), the real
// Silero gate and the fake Lemonfox service: speech played into the microphone and the speakers
// comes back as the service's transcript, with every file where it belongs.

#include "PipelineFixture.h"

#include "audio/AudioFileReader.h"
#include "audio/SystemAudioMonitor.h"
#include "support/PulseFixture.h"

#include <QProcess>

namespace murmurly::test {
namespace {

class PipelineEndToEndTest : public ServiceFixture {};

TEST_F(PipelineEndToEndTest, SpeechFromBothSourcesIsRecordedAndTranscribed) {
    ASSERT_TRUE(PulseFixture::isAvailable());
    if (!QFileInfo::exists(qEnvironmentVariable("MURMURLY_VAD_MODEL"))) {
        GTEST_SKIP() << "no VAD model at MURMURLY_VAD_MODEL (run scripts/setup.sh)";
    }
    ASSERT_TRUE(PulseFixture::restart()) << qPrintable(PulseFixture::lastError());
    const QString micSpeech = QDir::temp().filePath(QStringLiteral("mic-speech.wav"));
    const QString sysSpeech = QDir::temp().filePath(QStringLiteral("sys-speech.wav"));
    for (const auto& [text, path] :
         {std::pair{"Good morning everyone, shall we begin the meeting now?", micSpeech},
          std::pair{"Yes, the quarterly numbers look very good this time.", sysSpeech}}) {
        ASSERT_TRUE(PulseFixture::speak(QString::fromLatin1(text), path))
            << qPrintable(PulseFixture::lastError());
    }

    // Everything real: the microphone authorization probe, the PulseAudio input, the Silero gate.
    TranscriptionPipeline pipeline;
    SystemAudioMonitor monitor;
    pipeline.bindSystemMonitor(&monitor);
    float loudest = 0;
    float likeliest = 0;
    QObject::connect(&pipeline, &TranscriptionPipeline::levelChanged, &pipeline,
                     [&] { loudest = std::max(loudest, pipeline.level()); });
    QObject::connect(&pipeline, &TranscriptionPipeline::vadScoreChanged, &pipeline,
                     [&] { likeliest = std::max(likeliest, pipeline.vadScore().value_or(0.0f)); });

    ASSERT_TRUE(waitFor([&] { return monitor.permissionGranted(); }));
    pipeline.start(); // asks the sound server in the background
    ASSERT_TRUE(waitFor([&] { return !pipeline.isStarting(); }));
    ASSERT_TRUE(pipeline.isRunning()) << qPrintable(pipeline.lastErrorDescription());
    EXPECT_EQ(pipeline.status(), QStringLiteral("Listening..."));
    const QString wav = *pipeline.currentSessionAudioPath();
    ASSERT_TRUE(waitFor([&] { return monitor.isMonitoring(); })) << qPrintable(monitor.status());

    // One after the other: the recording can only be as long as both if both reached it.
    for (const auto& [speech, sink] : {std::pair{micSpeech, "mic_in"}, std::pair{sysSpeech, "speakers"}}) {
        const auto playing = PulseFixture::startPlaying(speech, QString::fromLatin1(sink));
        ASSERT_TRUE(playing);
        ASSERT_TRUE(waitFor([&] { return playing->state() == QProcess::NotRunning; }));
    }
    QTest::qWait(600); // the last blocks through the server
    EXPECT_GT(loudest, 0.05f);
    EXPECT_GT(likeliest, 0.55f);

    // Stop: the session goes on for the fragment the server still holds, then ends with the system
    // audio stopped and the transcription begun.
    bool monitoringAtEnd = true;
    QString statusAtEnd;
    QObject::connect(&pipeline, &TranscriptionPipeline::isTranscribingChanged, &pipeline, [&] {
        if (pipeline.isTranscribing() && statusAtEnd.isEmpty()) {
            monitoringAtEnd = monitor.isMonitoring();
            statusAtEnd = pipeline.statusText();
        }
    });
    pipeline.stop();
    EXPECT_TRUE(pipeline.isRunning());
    ASSERT_TRUE(waitFor([&] { return !pipeline.isRunning(); }));
    EXPECT_FALSE(monitoringAtEnd);
    EXPECT_EQ(statusAtEnd, QStringLiteral("Transcribing..."));
    ASSERT_TRUE(waitFor([&] { return !pipeline.isTranscribing(); }));
    EXPECT_TRUE(pipeline.lastErrorDescription().isEmpty()) << qPrintable(pipeline.lastErrorDescription());
    EXPECT_EQ(pipeline.transcriptText(), lemonfoxTranscript());

    // The speech went up as Ogg/Opus and its copy replaces the recording.
    ASSERT_EQ(lemonfox.requests().size(), 1);
    EXPECT_TRUE(lemonfox.requests()[0].body.contains("OggS"));
    const QString id = *SessionStore::sessionID(wav, QStringLiteral("mixed-"));
    const QString opus = transcriptsFolder() + QStringLiteral("/mixed-") + id + QStringLiteral(".opus");
    const auto seconds = [](const QString& path) {
        auto reader = AudioFileReader::open(path);
        return double(reader->length()) / reader->processingFormat().sampleRate;
    };
    EXPECT_GT(seconds(opus), seconds(micSpeech) + 0.6 * seconds(sysSpeech));
    EXPECT_FALSE(QFileInfo::exists(wav));
}

} // namespace
} // namespace murmurly::test
