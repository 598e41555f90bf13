#pragma once

#include "app/AppModel.h"
#include "audio/MicRecorder.h"
#include "audio/SystemAudioMonitor.h"
#include "pipeline/run/PipelineFixture.h"
#include "support/FakeTranscriptionService.h"

#include <QTest>

#include <gtest/gtest.h>

#include <memory>

namespace murmurly::test {

// The window's model over the scripted pipeline (a scripted microphone and gate, a clock the test
// moves) and a local stand-in for Lemonfox; no sound server, so the two permissions are whatever
// the test sets.
class WindowFixture : public PipelineFixture {
protected:
    void SetUp() override {
        qputenv("PULSE_SERVER", "unix:/nonexistent/murmurly-test/native");
        ASSERT_TRUE(lemonfox.listen());
        qputenv("MURMURLY_LEMONFOX_BASE_URL", lemonfox.baseUrl().toString().toUtf8());
        qputenv("LEMONFOX_API_KEY", "test-key");
        model = std::make_unique<AppModel>(makePipeline());
    }

    TranscriptionPipeline& pipeline() const { return model->pipeline(); }

    void grant(bool mic, bool system) {
        model->mic().setPermissionGranted(mic);
        model->system().setPermissionGranted(system);
    }

    // One window of a tone with this gate decision and score, through to the window's state.
    void pushAndSettle(bool speech, float probability, float amplitude = 0.3f) {
        audio.state->speech = speech;
        audio.state->probability = probability;
        audio.push(1, amplitude);
        ASSERT_TRUE(QTest::qWaitFor([&] { return pipeline().vadScore() == probability; }, 5000));
    }

    FakeTranscriptionService lemonfox{FakeTranscriptionService::Kind::lemonfox};
    std::unique_ptr<AppModel> model;
};

} // namespace murmurly::test
