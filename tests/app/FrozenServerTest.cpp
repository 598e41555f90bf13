// A sound server that accepts connections but never answers (SIGSTOP): the window must keep
// responding, Start and Stop must work, and the usual error must appear once the time-outs expire.

#include "AppTestSupport.h"

#include "app/AppModel.h"
#include "app/ErrorBanner.h"
#include "app/MainWindow.h"
#include "audio/MicRecorder.h"
#include "pipeline/TranscriptionPipeline.h"
#include "support/PulseFixture.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

namespace murmurly {
namespace {

using test::PulseFixture;

// The longest time the main thread went without running its event loop, measured by a 10 ms
// timer. A real stall on the server is the probe's time-out (2 s) or the recorder's start wait;
// a loaded two-core test machine adds scheduling delays of up to a couple of hundred
// milliseconds. The bound of 400 ms lies between the two: it fails for any wait on the server
// and does not fail for a busy machine.
class StallWatch {
public:
    static constexpr qint64 kBoundMs = 400;

    StallWatch() {
        m_sinceTick.start();
        QObject::connect(&m_timer, &QTimer::timeout,
                         [this] { m_longestMs = std::max(m_longestMs, m_sinceTick.restart()); });
        m_timer.start(10);
    }
    qint64 longestMs() const { return std::max(m_longestMs, m_sinceTick.elapsed()); }

private:
    QTimer m_timer;
    QElapsedTimer m_sinceTick;
    qint64 m_longestMs = 0;
};

class FrozenServer : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(PulseFixture::isAvailable()) << "run through ctest: the test needs the pulse fixture";
        ASSERT_TRUE(PulseFixture::restart()) << PulseFixture::lastError().toStdString();
    }
    void TearDown() override { PulseFixture::thaw(); }

    static bool pendingExists() {
        return QFileInfo::exists(test::appFolder() + QStringLiteral("/pending_session.json"));
    }
    static QStringList recordings() {
        return QDir(test::appFolder()).entryList({QStringLiteral("*.wav")}, QDir::Files);
    }

    // Once the server answers again a start records, and Stop ends it.
    static void expectNormalStartAfterThaw(AppModel& model) {
        ASSERT_TRUE(PulseFixture::thaw());
        TranscriptionPipeline& pipeline = model.pipeline();
        model.toggleRecording();
        ASSERT_TRUE(QTest::qWaitFor([&] { return !pipeline.isStarting(); }, 15000));
        ASSERT_TRUE(pipeline.isRunning()) << qPrintable(pipeline.lastErrorDescription());
        EXPECT_EQ(pipeline.statusText(), QStringLiteral("Listening..."));
        model.toggleRecording();
        EXPECT_FALSE(pipeline.isRunning());
        model.pipeline().cancelTranscription();
    }
};

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
    EXPECT_EQ(button.text(), QStringLiteral("Stop")) << "the waiting start is cancelled by this button";
    QTest::qWait(300);
    button.click();
    EXPECT_FALSE(pipeline.isStarting());
    EXPECT_EQ(button.text(), QStringLiteral("Start"));

    QElapsedTimer sinceStart;
    sinceStart.start();
    button.click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return pipeline.lastError() != nullptr; }, 10000));
    EXPECT_GE(sinceStart.elapsed(), 1900) << "the error came from the cancelled start";
    EXPECT_EQ(window.errorBanner()->message(), QStringLiteral("Microphone permission is not granted."));
    EXPECT_FALSE(pipeline.isRunning());
    EXPECT_FALSE(pipeline.isStarting());
    EXPECT_FALSE(pendingExists());
    EXPECT_FALSE(model.mic().permissionGranted());
    EXPECT_LT(watch.longestMs(), StallWatch::kBoundMs);

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
    QTest::qWait(200); // the file goes once the recorder has closed it
    EXPECT_FALSE(pipeline.isRunning());
    EXPECT_FALSE(pipeline.isTranscribing());
    EXPECT_EQ(pipeline.lastError(), nullptr);
    EXPECT_FALSE(pendingExists());
    EXPECT_EQ(pipeline.currentSessionAudioPath(), std::nullopt);
    EXPECT_EQ(recordings(), QStringList());

    model.toggleRecording();
    ASSERT_TRUE(QTest::qWaitFor([&] { return pipeline.lastError() != nullptr; }, 15000));
    EXPECT_EQ(pipeline.lastErrorDescription(),
              QStringLiteral("Failed to start microphone input: Failed to start audio engine"));
    EXPECT_FALSE(pipeline.isRunning());
    EXPECT_LT(watch.longestMs(), StallWatch::kBoundMs);

    expectNormalStartAfterThaw(model);
}

} // namespace
} // namespace murmurly
