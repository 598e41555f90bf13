#pragma once

#include "app/AppModel.h"
#include "app/MainWindow.h"
#include "audio/MicRecorder.h"
#include "audio/SessionRecorder.h"
#include "audio/SystemAudioMonitor.h"
#include "pipeline/TranscriptionPipeline.h"
#include "pipeline/run/ScriptedAudio.h"
#include "support/ApiKeyReset.h"
#include "support/FakeTranscriptionService.h"

#include <QTest>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>

namespace murmurly::test {

// The window's model over a scripted microphone and gate, a clock the test moves, and a local
// stand-in for Lemonfox; no sound server, so the two permissions are whatever the test sets.
class WindowFixture : public ::testing::Test {
protected:
    void SetUp() override {
        qputenv("PULSE_SERVER", "unix:/nonexistent/murmurly-test/native");
        ASSERT_TRUE(lemonfox.listen());
        qputenv("MURMURLY_LEMONFOX_BASE_URL", lemonfox.baseUrl().toString().toUtf8());
        qputenv("LEMONFOX_API_KEY", "test-key");
        TranscriptionPipeline::Dependencies deps;
        deps.recorder = std::make_unique<SessionRecorder>(std::make_unique<ScriptedAudio::Input>(audio.state),
                                                          std::make_unique<ScriptedAudio::Gate>(audio.state));
        deps.microphoneAuthorized = [this] { return microphoneAuthorized; };
        deps.clock = [this] { return now; };
        model = std::make_unique<AppModel>(std::make_unique<TranscriptionPipeline>(std::move(deps)));
    }

    TranscriptionPipeline& pipeline() const { return model->pipeline(); }

    void grant(bool mic, bool system) {
        model->mic().setPermissionGranted(mic);
        model->system().setPermissionGranted(system);
    }

    // Shows `window` with both permissions granted: appearing, it asks the (absent) sound server in
    // the background, so they are granted again after its answer.
    void showGranted(MainWindow& window) {
        grant(true, true);
        window.show();
        ASSERT_TRUE(QTest::qWaitFor([&] { return window.showsPermissions(); }, 5000));
        grant(true, true);
    }

    // One window of a tone with this gate decision and score, through to the window's state.
    void pushAndSettle(bool speech, float probability, float amplitude = 0.3f) {
        audio.state->speech = speech;
        audio.state->probability = probability;
        audio.push(1, amplitude);
        ASSERT_TRUE(QTest::qWaitFor([&] { return pipeline().vadScore() == probability; }, 5000));
    }

    ScriptedAudio audio;
    std::chrono::steady_clock::time_point now{};
    bool microphoneAuthorized = true;
    FakeTranscriptionService lemonfox{FakeTranscriptionService::Kind::lemonfox};
    std::unique_ptr<AppModel> model;
};

} // namespace murmurly::test
