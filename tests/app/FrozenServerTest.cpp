// A sound server that accepts connections but never answers (SIGSTOP): the window must keep
// responding, Start and Stop must work, and the usual error must appear once the time-outs expire.
#include "AppTestSupport.h"

#include "app/AppModel.h"
#include "app/ErrorBanner.h"
#include "app/MainWindow.h"
#include "audio/MicRecorder.h"
#include "pipeline/TranscriptionPipeline.h"
#include "support/PulseFixture.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

namespace murmurly {
namespace {

using test::PulseFixture;

bool pendingExists() {
    return QFileInfo::exists(test::appFolder() + "/pending_session.json");
}

// Whether the main thread always ran its event loop, measured by a 10 ms timer. A real stall on
// the server is the probe's time-out (2 s) or the recorder's start wait; a loaded two-core test
// machine adds scheduling delays of up to a couple of hundred milliseconds. The bound of 400 ms
// lies between the two: it fails for any wait on the server and does not fail for a busy machine.
struct StallWatch {
    StallWatch() {
        sinceTick.start();
        QObject::connect(&timer, &QTimer::timeout,
                         [this] { longest = std::max(longest, sinceTick.restart()); });
        timer.start(10);
    }
    bool neverStalled() const { return std::max(longest, sinceTick.elapsed()) < 400; }

    QTimer timer;
    QElapsedTimer sinceTick;
    qint64 longest = 0;
};

// Each test starts a fresh sound server and leaves it running.
class FrozenServer : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(PulseFixture::isAvailable()) << "run through ctest: the test needs the pulse fixture";
        ASSERT_TRUE(PulseFixture::restart()) << qPrintable(PulseFixture::lastError());
    }
    void TearDown() override { PulseFixture::thaw(); }
};

// Once the server answers again a start records, and Stop ends it (after the fragment still on its way).
void expectNormalStartAfterThaw(AppModel& model) {
    ASSERT_TRUE(PulseFixture::thaw());
    TranscriptionPipeline& pipeline = model.pipeline();
    model.toggleRecording();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !pipeline.isStarting(); }, 15000));
    ASSERT_TRUE(pipeline.isRunning()) << qPrintable(pipeline.lastErrorDescription());
    model.toggleRecording();
    EXPECT_TRUE(QTest::qWaitFor([&] { return !pipeline.isRunning(); }, 5000));
    model.pipeline().cancelTranscription();
}

TEST_F(FrozenServer, StartEndsInThePermissionErrorAfterTheTimeOutAndTheWindowKeepsResponding) {
    ASSERT_TRUE(PulseFixture::freeze());
    StallWatch watch;
    AppModel model; // its permission objects probe the server
    MainWindow window(model);
    window.show(); // probes again
    TranscriptionPipeline& pipeline = model.pipeline();
    QPushButton& button = *window.startStopButton();

    // Stop while the permission check waits: the start is dropped, its late answer too.
    button.click();
    EXPECT_TRUE(pipeline.isStarting());
    EXPECT_EQ(button.text(), "Stop") << "the waiting start is cancelled by this button";
    QTest::qWait(300);
    button.click();
    EXPECT_FALSE(pipeline.isStarting());
    EXPECT_EQ(button.text(), "Start");

    QElapsedTimer sinceStart;
    sinceStart.start();
    button.click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return pipeline.lastError() != nullptr; }, 10000));
    EXPECT_GE(sinceStart.elapsed(), 1900) << "the error came from the cancelled start";
    EXPECT_EQ(window.errorBanner()->message(), "Microphone permission is not granted.");
    EXPECT_FALSE(pipeline.isRunning() || pipeline.isStarting() || pendingExists());
    EXPECT_FALSE(model.mic().permissionGranted());
    EXPECT_TRUE(watch.neverStalled());

    // The window asks again when it appears, and the thawed server grants it.
    expectNormalStartAfterThaw(model);
    window.hide();
    window.show();
    EXPECT_TRUE(QTest::qWaitFor([&] { return model.mic().permissionGranted(); }, 5000));
}

TEST_F(FrozenServer, StopWhileTheRecorderWaitsForTheServerKeepsNothing) {
    // The permission was given a moment ago; then the server froze.
    TranscriptionPipeline::Dependencies deps;
    deps.microphoneAuthorized = [] { return true; };
    AppModel model(std::make_unique<TranscriptionPipeline>(std::move(deps)));
    TranscriptionPipeline& pipeline = model.pipeline();
    ASSERT_TRUE(PulseFixture::freeze());
    StallWatch watch;

    model.toggleRecording();
    EXPECT_TRUE(pendingExists());
    QTest::qWait(300);
    model.toggleRecording(); // Stop: the recorder is still waiting for the server
    ASSERT_TRUE(QTest::qWaitFor([&] { return !pipeline.isStarting(); }, 15000));
    // The files go once the recorder has closed them.
    EXPECT_TRUE(QTest::qWaitFor([&] { return !pendingExists() && test::recordingsLeft().isEmpty(); }, 5000))
        << qPrintable(test::recordingsLeft().join(' '));
    EXPECT_FALSE(pipeline.isRunning() || pipeline.isTranscribing());
    EXPECT_EQ(pipeline.lastError(), nullptr);
    EXPECT_EQ(pipeline.currentSessionAudioPath(), std::nullopt);

    model.toggleRecording();
    ASSERT_TRUE(QTest::qWaitFor([&] { return pipeline.lastError() != nullptr; }, 15000));
    EXPECT_EQ(pipeline.lastErrorDescription(),
              "Failed to start microphone input: Failed to start audio engine");
    EXPECT_TRUE(watch.neverStalled());

    expectNormalStartAfterThaw(model);
}

} // namespace
} // namespace murmurly
