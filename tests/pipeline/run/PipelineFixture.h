#pragma once

#include "ScriptedAudio.h"

#include "audio/SessionRecorder.h"
#include "pipeline/PipelineError.h"
#include "pipeline/TranscriptionPipeline.h"
#include "storage/PlainTextStore.h"
#include "storage/SessionStore.h"
#include "support/ApiKeyReset.h"
#include "support/FakeTranscriptionService.h"
#include "support/TestFiles.h"
#include "transcription/TranscriptionTestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <vector>

namespace murmurly::test {

// A pipeline on a scripted microphone and gate, a clock the test moves, and the microphone
// authorization the test decides. Everything else is real: the recorder, the clients, the files
// in the temporary home.
class PipelineFixture : public ::testing::Test {
protected:
    ScriptedAudio audio;
    std::chrono::steady_clock::time_point now{};
    bool microphoneAuthorized = true;

    std::unique_ptr<TranscriptionPipeline> makePipeline() {
        TranscriptionPipeline::Dependencies deps;
        deps.recorder = std::make_unique<SessionRecorder>(std::make_unique<ScriptedAudio::Input>(audio.state),
                                                          std::make_unique<ScriptedAudio::Gate>(audio.state));
        deps.microphoneAuthorized = [this] { return microphoneAuthorized; };
        deps.clock = [this] { return now; };
        return std::make_unique<TranscriptionPipeline>(std::move(deps));
    }

    void advance(double seconds) {
        now += std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::duration<double>(seconds));
    }

    static QString appFolder() { return SessionStore::appSupportDirectory(); }
    static QString transcriptsFolder() { return SessionStore::transcriptsDirectory(); }
    static QString pendingPath() { return appFolder() + QStringLiteral("/pending_session.json"); }
    static bool pendingExists() { return QFileInfo::exists(pendingPath()); }

    static void writePending(const QString& audioPath, const QString& startedAt = "2025-03-01T14:05:09Z") {
        writeFile(
            pendingPath(),
            QStringLiteral(R"({"audioPath":"%1","startedAt":"%2"})").arg(audioPath, startedAt).toUtf8());
    }

    // Spins the event loop until `condition` holds; false after 20 s without it.
    template <typename Condition>
    static bool waitFor(Condition condition) {
        return QTest::qWaitFor(condition, 20000);
    }

    // Pushes one window and waits until the pipeline has seen the recorder report its score. Each
    // window gets its own probability, so the wait cannot be satisfied by an earlier window.
    void pushWindowAndSettle(TranscriptionPipeline& pipeline, bool speech) {
        const float step = 0.001f * static_cast<float>(m_windows++);
        const float probability = speech ? 0.9f - step : 0.1f + step;
        audio.state->speech = speech;
        audio.state->probability = probability;
        audio.push();
        ASSERT_TRUE(waitFor([&] { return pipeline.vadScore() == probability; }));
    }

private:
    int m_windows = 0;
};

// The same, with both services standing by on 127.0.0.1 and API keys in place.
class ServiceFixture : public PipelineFixture {
protected:
    // Left alive to the end of the process: destroying a fake service while the server side of a
    // connection is still closing runs its disconnect handler on a half-destroyed service.
    FakeTranscriptionService& lemonfox =
        *new FakeTranscriptionService(FakeTranscriptionService::Kind::lemonfox);
    FakeTranscriptionService& mistral =
        *new FakeTranscriptionService(FakeTranscriptionService::Kind::mistral);

    void SetUp() override {
        ASSERT_TRUE(lemonfox.listen());
        ASSERT_TRUE(mistral.listen());
        qputenv("MURMURLY_LEMONFOX_BASE_URL", lemonfox.baseUrl().toString().toUtf8());
        qputenv("MURMURLY_MISTRAL_BASE_URL", mistral.baseUrl().toString().toUtf8());
        ASSERT_TRUE(
            PlainTextStore::writeValue(PlainTextStore::lemonfoxApiKeyURL(), QStringLiteral("lf-key")));
        ASSERT_TRUE(PlainTextStore::writeValue(PlainTextStore::mistralApiKeyURL(), QStringLiteral("ms-key")));
    }

    // The usual Lemonfox answer, formatted.
    static QString lemonfoxTranscript() {
        return QStringLiteral("[00:00] SPEAKER_00: Hello there.\n[00:01] SPEAKER_01: General Kenobi.\n");
    }

    // An answer that trickles in over about a second, so that a test can act while it arrives.
    static FakeAnswer slowAnswer(QByteArray body = {}) {
        return {.body = std::move(body), .pieceSize = 16, .pauseMs = 60};
    }
    static FakeAnswer silentAnswer() { return {.mode = FakeAnswer::Mode::neverAnswer}; }
};

} // namespace murmurly::test
