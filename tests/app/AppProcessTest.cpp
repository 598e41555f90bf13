// The real program, started as the user (or a global shortcut) would start it, under a real X
// server, with the private sound server and the local Lemonfox stand-in.
#include "AppTestSupport.h"

#include "support/FakeTranscriptionService.h"
#include "support/MediaSamples.h"
#include "support/PulseFixture.h"
#include "support/TestFiles.h"

#include "audio/WavHeaderRepair.h"

#include <QCoreApplication>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <csignal>

namespace murmurly {
namespace {

using test::PulseFixture;

QString pendingPath() {
    return test::appFolder() + "/pending_session.json";
}

// The id of the session in the pending record, once there is one.
QString pendingSessionID() {
    QFile file(pendingPath());
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QString audio = QJsonDocument::fromJson(file.readAll()).object().value("audioPath").toString();
    const QString name = QFileInfo(audio).completeBaseName();
    return name.startsWith("mixed-") ? name.mid(6) : QString();
}

class AppProcess : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(qEnvironmentVariableIsEmpty("PULSE_SERVER")) << "needs the sound-server fixture";
        // An earlier test of the run may have left the server without devices, or dead.
        ASSERT_TRUE(PulseFixture::restart()) << qPrintable(PulseFixture::lastError());
        ASSERT_TRUE(m_lemonfox.listen());
        m_env.insert("MURMURLY_LEMONFOX_BASE_URL", m_lemonfox.baseUrl().toString());
        m_env.insert("LEMONFOX_API_KEY", "test-key");
        // The instance's socket goes into a folder of this test (private, as a runtime folder must
        // be), never the developer's session.
        m_env.insert("XDG_RUNTIME_DIR", m_scratch.path());
        ASSERT_TRUE(PulseFixture::speak(
            "Good morning everyone, let us look at the plan for this week and the open questions.",
            m_micSpeech));
        ASSERT_TRUE(
            PulseFixture::speak("Thanks, I can hear you well. The release is on Friday.", m_systemSpeech));

        // A real X server of our own, on the display it took.
        m_xvfb.start("Xvfb", QString("-displayfd 1 -nolisten tcp -screen 0 1280x800x24").split(' '));
        ASSERT_TRUE(m_xvfb.waitForStarted(10000));
        QByteArray display;
        while (!display.contains('\n') && m_xvfb.waitForReadyRead(20000))
            display += m_xvfb.readAllStandardOutput();
        ASSERT_TRUE(display.contains('\n'));
        m_env.insert("DISPLAY", ":" + QString::fromLatin1(display.trimmed()));
        m_env.insert("QT_QPA_PLATFORM", "xcb");
    }

    void TearDown() override {
        for (QProcess* process : m_processes + QList<QProcess*>{&m_xvfb}) {
            process->kill();
            process->waitForFinished(5000);
        }
        qDeleteAll(m_processes);
    }

    QProcess* launch(const QStringList& arguments, const QString& workingDirectory = {}) {
        auto* process = new QProcess;
        m_processes.append(process);
        process->setProcessEnvironment(m_env);
        process->setProcessChannelMode(QProcess::ForwardedChannels);
        process->setWorkingDirectory(workingDirectory);
        process->start(m_binary, arguments);
        EXPECT_TRUE(process->waitForStarted(10000));
        return process;
    }

    // Runs a later launch to its end (while our stand-in service keeps answering) and gives its
    // exit code.
    int launchAndWait(const QStringList& arguments, const QString& workingDirectory = {}) {
        QProcess* process = launch(arguments, workingDirectory);
        EXPECT_TRUE(QTest::qWaitFor([&] { return process->state() == QProcess::NotRunning; }, 30000));
        return process->exitStatus() == QProcess::NormalExit ? process->exitCode() : -1;
    }

    // Waits for the transcript of `id`, then checks what a finished session leaves on disk; the
    // service has had `requests` uploads by then.
    void expectTranscribedSession(const QString& id, int requests) {
        const QString transcript = test::transcriptsFolder() + "/" + id + ".txt";
        ASSERT_TRUE(QTest::qWaitFor([&] { return QFileInfo::exists(transcript); }, 120000));
        EXPECT_EQ(test::readFile(transcript), test::kServiceTranscript.toUtf8());
        EXPECT_TRUE(QFileInfo::exists(test::transcriptsFolder() + "/mixed-" + id + ".opus"));
        // The WAV goes once its Opus copy exists (just after the transcript is saved), and the
        // pending record once the run has ended.
        const QString wav = test::appFolder() + "/mixed-" + id + ".wav";
        ASSERT_TRUE(QTest::qWaitFor(
            [&] { return !QFileInfo::exists(pendingPath()) && !QFileInfo::exists(wav); }, 10000));
        ASSERT_EQ(m_lemonfox.requests().size(), requests);
        EXPECT_EQ(m_lemonfox.requests().last().header("Authorization"), QByteArray("Bearer test-key"));
    }

    test::FakeTranscriptionService m_lemonfox{test::FakeTranscriptionService::Kind::lemonfox};
    QTemporaryDir m_scratch;
    const QString m_binary = QCoreApplication::applicationDirPath() + "/murmurly"; // built beside it
    QProcessEnvironment m_env = QProcessEnvironment::systemEnvironment();
    const QString m_micSpeech = m_scratch.filePath("mic.wav");
    const QString m_systemSpeech = m_scratch.filePath("system.wav");
    QProcess m_xvfb;
    QList<QProcess*> m_processes;
};

// --transcribe and the shortcut's --toggle reach the running instance; a crash (SIGKILL) or a
// logout (SIGTERM) in the middle of a recording keeps the session, and the next launch, which finds
// the dead instance's lock and socket, transcribes it.
TEST_F(AppProcess, FilesAndTheShortcutReachTheRunningMurmurlyAndARecordingOutlivesItsCrash) {
    const QString talk = m_scratch.filePath("talk.m4a");
    test::makeMedia(test::stereoTone(3) + QStringList{"-c:a", "aac"}, talk);
    // A relative name, resolved in the folder the command runs in (not the running instance's), and
    // a path that travels to the running instance long and with any character in it.
    const QString second = "Zoë's second\ntalk " + QString(200, 'x') + ".m4a";
    QFile::copy(talk, m_scratch.filePath(second));
    const auto transcripts = [] { return QDir(test::transcriptsFolder()).entryList({"*.txt"}); };

    // No Murmurly runs yet: --transcribe starts one, which imports the file.
    QProcess* running = launch({"--transcribe", talk});
    ASSERT_TRUE(QTest::qWaitFor([&] { return transcripts().size() == 1; }, 60000));
    expectTranscribedSession(transcripts().at(0).chopped(4), 1);

    // The shortcut's --toggle starts a recording in the running one; a plain launch only brings it
    // forward and records nothing of its own.
    EXPECT_EQ(launchAndWait({"--toggle"}), 0);
    ASSERT_TRUE(QTest::qWaitFor([] { return !pendingSessionID().isEmpty(); }, 30000));
    const QString id = pendingSessionID();
    EXPECT_EQ(launchAndWait({}), 0);
    EXPECT_EQ(pendingSessionID(), id);
    // Both sources at once, as in a call.
    const auto mic = PulseFixture::startPlaying(m_micSpeech, "mic_in");
    const auto system = PulseFixture::startPlaying(m_systemSpeech, "speakers");
    ASSERT_TRUE(mic && system) << qPrintable(PulseFixture::lastError());
    ASSERT_TRUE(mic->waitForFinished(60000) && system->waitForFinished(60000));
    ASSERT_EQ(mic->exitCode() | system->exitCode(), 0);
    // The shortcut again: the running instance stops and transcribes; the launch itself ends.
    EXPECT_EQ(launchAndWait({"--toggle"}), 0);
    expectTranscribedSession(id, 2);

    EXPECT_EQ(launchAndWait({"--transcribe", "missing.m4a"}, m_scratch.path()), 1);
    EXPECT_EQ(launchAndWait({"--transcribe", second}, m_scratch.path()), 0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return transcripts().size() == 3; }, 60000));
    EXPECT_EQ(m_lemonfox.requests().size(), 3);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !QFileInfo::exists(pendingPath()); }, 10000));

    int uploads = 3;
    for (const int signal : {SIGTERM, SIGKILL}) {
        SCOPED_TRACE(signal);
        EXPECT_EQ(launchAndWait({"--toggle"}), 0);
        ASSERT_TRUE(QTest::qWaitFor([] { return !pendingSessionID().isEmpty(); }, 30000));
        const QString session = pendingSessionID();
        const QString wav = test::appFolder() + "/mixed-" + session + ".wav";
        ASSERT_TRUE(PulseFixture::play(m_micSpeech, "mic_in"));
        ASSERT_TRUE(QTest::qWaitFor([&] { return QFileInfo(wav).size() > 16000; }, 30000));

        ::kill(pid_t(running->processId()), signal);
        ASSERT_TRUE(running->waitForFinished(10000));
        // A logout ends the session with the process: header complete, record kept.
        if (signal == SIGTERM) {
            EXPECT_EQ(running->exitStatus(), QProcess::NormalExit);
            EXPECT_FALSE(WavHeaderRepair::repairIfNeeded(wav)) << "the header was left unfinished";
        }
        EXPECT_EQ(pendingSessionID(), session);

        running = launch({});
        expectTranscribedSession(session, ++uploads);
        // It took over the instance: a later launch reaches it. (Its socket replaces the dead one's
        // file even without the explicit removal in claim(): Qt binds the private socket elsewhere
        // and renames it into place.)
        EXPECT_EQ(launchAndWait({}), 0);
        EXPECT_EQ(running->state(), QProcess::Running);
    }
}

} // namespace
} // namespace murmurly
