// The real program, started as the user (or a global shortcut) would start it: under a real X
// server or the offscreen platform, with the private sound server and the local Lemonfox stand-in.
#include "AppTestSupport.h"

#include "support/FakeTranscriptionService.h"
#include "support/MediaSamples.h"
#include "support/PulseFixture.h"

#include "audio/WavHeaderRepair.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <csignal>

namespace murmurly {
namespace {

using test::FakeTranscriptionService;

const QByteArray expectedTranscript =
    "[00:00] SPEAKER_00: Hello there.\n[00:01] SPEAKER_01: General Kenobi.\n";

QString pendingPath() {
    return test::appFolder() + QStringLiteral("/pending_session.json");
}

// The id of the session in the pending record, once there is one.
QString pendingSessionID() {
    QFile file(pendingPath());
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QString audio =
        QJsonDocument::fromJson(file.readAll()).object().value(QStringLiteral("audioPath")).toString();
    const QString name = QFileInfo(audio).completeBaseName();
    return name.startsWith(QStringLiteral("mixed-")) ? name.mid(6) : QString();
}

class AppProcess : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(qEnvironmentVariableIsEmpty("PULSE_SERVER")) << "needs the sound-server fixture";
        // An earlier test of the run may have left the server without devices, or dead.
        ASSERT_TRUE(test::PulseFixture::restart()) << qPrintable(test::PulseFixture::lastError());
        ASSERT_TRUE(m_lemonfox.listen());
        ASSERT_TRUE(m_scratch.isValid());
        m_binary = QCoreApplication::applicationDirPath() + QStringLiteral("/murmurly"); // built beside it
        ASSERT_TRUE(QFileInfo(m_binary).isExecutable()) << qPrintable(m_binary);

        m_env = QProcessEnvironment::systemEnvironment();
        m_env.insert(QStringLiteral("MURMURLY_LEMONFOX_BASE_URL"), m_lemonfox.baseUrl().toString());
        m_env.insert(QStringLiteral("LEMONFOX_API_KEY"), QStringLiteral("test-key"));
        // The instance's socket goes into a folder of this test, never the developer's session.
        const QString runtime = m_scratch.filePath(QStringLiteral("runtime"));
        QDir().mkpath(runtime);
        QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        m_env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
        m_env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));

        m_micSpeech = m_scratch.filePath(QStringLiteral("mic.wav"));
        m_systemSpeech = m_scratch.filePath(QStringLiteral("system.wav"));
        ASSERT_TRUE(test::PulseFixture::speak(QStringLiteral("Good morning everyone, let us look at the plan "
                                                             "for this week and the open questions."),
                                              m_micSpeech));
        ASSERT_TRUE(test::PulseFixture::speak(
            QStringLiteral("Thanks, I can hear you well. The release is on Friday."), m_systemSpeech));
    }

    void TearDown() override {
        for (QProcess* process : m_processes) {
            if (process->state() != QProcess::NotRunning) {
                process->kill();
                process->waitForFinished(5000);
            }
            delete process;
        }
        if (m_xvfb.state() != QProcess::NotRunning) {
            m_xvfb.kill();
            m_xvfb.waitForFinished(5000);
        }
    }

    // A real X server of our own; the display it took is in the environment afterwards.
    void startXServer() {
        m_xvfb.setProcessChannelMode(QProcess::SeparateChannels);
        m_xvfb.start(
            QStringLiteral("Xvfb"),
            QStringLiteral("-displayfd 1 -nolisten tcp -screen 0 1280x800x24").split(QLatin1Char(' ')));
        ASSERT_TRUE(m_xvfb.waitForStarted(10000));
        QByteArray display;
        ASSERT_TRUE(QTest::qWaitFor(
            [&] {
                display += m_xvfb.readAllStandardOutput();
                return display.contains('\n');
            },
            20000));
        m_env.insert(QStringLiteral("DISPLAY"), QStringLiteral(":") + QString::fromLatin1(display.trimmed()));
        m_env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    }

    QProcess* launch(const QStringList& arguments) {
        auto* process = new QProcess;
        m_processes.append(process);
        process->setProcessEnvironment(m_env);
        process->setProcessChannelMode(QProcess::ForwardedChannels);
        if (!m_workingDirectory.isEmpty())
            process->setWorkingDirectory(m_workingDirectory);
        process->start(m_binary, arguments);
        EXPECT_TRUE(process->waitForStarted(10000));
        return process;
    }

    // Runs a later launch to its end (while our stand-in service keeps answering) and gives its
    // exit code.
    int launchAndWait(const QStringList& arguments) {
        QProcess* process = launch(arguments);
        EXPECT_TRUE(QTest::qWaitFor([&] { return process->state() == QProcess::NotRunning; }, 30000));
        return process->exitStatus() == QProcess::NormalExit ? process->exitCode() : -1;
    }

    // Starts a recording with --toggle and waits until microphone speech has reached its WAV
    // (beyond the header); gives the process, the session's id and the recording's path.
    void recordSpeech(QProcess*& process, QString& id, QString& wav) {
        process = launch({QStringLiteral("--toggle")});
        ASSERT_TRUE(QTest::qWaitFor([] { return !pendingSessionID().isEmpty(); }, 30000));
        id = pendingSessionID();
        wav = test::appFolder() + QStringLiteral("/mixed-") + id + QStringLiteral(".wav");
        ASSERT_TRUE(test::PulseFixture::play(m_micSpeech, QStringLiteral("mic_in")));
        ASSERT_TRUE(QTest::qWaitFor([&] { return QFileInfo(wav).size() > 16000; }, 30000));
    }

    // Waits for the transcript of `id`, then checks what a finished session leaves on disk.
    void expectTranscribedSession(const QString& id) {
        const QString transcript = test::transcriptsFolder() + QLatin1Char('/') + id + QStringLiteral(".txt");
        ASSERT_TRUE(QTest::qWaitFor([&] { return QFileInfo::exists(transcript); }, 120000));
        QFile file(transcript);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        EXPECT_EQ(file.readAll(), expectedTranscript);
        EXPECT_TRUE(QFileInfo::exists(test::transcriptsFolder() + QStringLiteral("/mixed-") + id +
                                      QStringLiteral(".opus")));
        // The WAV goes once its Opus copy exists, and the pending record once the run has ended.
        ASSERT_TRUE(QTest::qWaitFor([&] { return !QFileInfo::exists(pendingPath()); }, 10000));
        EXPECT_FALSE(
            QFileInfo::exists(test::appFolder() + QStringLiteral("/mixed-") + id + QStringLiteral(".wav")));
        ASSERT_EQ(m_lemonfox.requests().size(), 1);
        EXPECT_EQ(m_lemonfox.requests().at(0).header("Authorization"), QByteArray("Bearer test-key"));
    }

    FakeTranscriptionService m_lemonfox{FakeTranscriptionService::Kind::lemonfox};
    QTemporaryDir m_scratch;
    QString m_binary;
    QProcessEnvironment m_env;
    QString m_micSpeech;
    QString m_systemSpeech;
    QString m_workingDirectory;
    QProcess m_xvfb;
    QList<QProcess*> m_processes;
};

TEST_F(AppProcess, ToggleFromAShortcutRecordsBothSourcesAndTranscribes) {
    startXServer();
    // No Murmurly runs yet: --toggle starts one, which begins recording at once.
    QProcess* running = launch({QStringLiteral("--toggle")});
    ASSERT_TRUE(QTest::qWaitFor([] { return !pendingSessionID().isEmpty(); }, 30000));
    const QString id = pendingSessionID();

    // A plain second launch only brings the running one forward; it records nothing of its own.
    EXPECT_EQ(launchAndWait({}), 0);
    EXPECT_EQ(running->state(), QProcess::Running);
    EXPECT_EQ(pendingSessionID(), id);

    // Both sources at once, as in a call.
    const auto mic = test::PulseFixture::startPlaying(m_micSpeech, QStringLiteral("mic_in"));
    const auto system = test::PulseFixture::startPlaying(m_systemSpeech, QStringLiteral("speakers"));
    ASSERT_TRUE(mic && system) << qPrintable(test::PulseFixture::lastError());
    ASSERT_TRUE(mic->waitForFinished(60000));
    ASSERT_TRUE(system->waitForFinished(60000));
    ASSERT_EQ(mic->exitCode(), 0);
    ASSERT_EQ(system->exitCode(), 0);

    // The shortcut again: the running instance stops and transcribes; the launch itself ends.
    EXPECT_EQ(launchAndWait({QStringLiteral("--toggle")}), 0);
    expectTranscribedSession(id);
    EXPECT_EQ(running->state(), QProcess::Running);
}

TEST_F(AppProcess, RecordingKilledMidSessionIsTranscribedAtTheNextLaunch) {
    QProcess* first = nullptr;
    QString id, wav;
    ASSERT_NO_FATAL_FAILURE(recordSpeech(first, id, wav)); // speech is in the file before the crash
    ::kill(pid_t(first->processId()), SIGKILL);
    ASSERT_TRUE(first->waitForFinished(10000));
    ASSERT_TRUE(QFileInfo::exists(pendingPath()));
    EXPECT_TRUE(m_lemonfox.requests().isEmpty());

    // The next launch finds the stale instance lock and the pending record, and resumes.
    QProcess* second = launch({});
    expectTranscribedSession(id);
    EXPECT_EQ(second->state(), QProcess::Running);
}

TEST_F(AppProcess, TranscribeFileStartsMurmurlyOrHandsTheFileToTheRunningOne) {
    const QString work = m_scratch.filePath(QStringLiteral("work"));
    QDir().mkpath(work);
    test::makeMedia(test::stereoTone(3) + QStringList{QStringLiteral("-c:a"), QStringLiteral("aac")},
                    work + QStringLiteral("/talk.m4a"));
    // A relative name, resolved in the folder the command runs in (not the running instance's), and
    // a path that travels to the running instance long and with any character in it.
    const QString second =
        QStringLiteral("Zoë's second\ntalk ") + QString(200, QLatin1Char('x')) + QStringLiteral(".m4a");
    QFile::copy(work + QStringLiteral("/talk.m4a"), work + QLatin1Char('/') + second);
    const auto importedIDs = [] {
        QStringList ids;
        for (const QString& name : QDir(test::transcriptsFolder()).entryList({QStringLiteral("*.txt")}))
            ids << name.chopped(4);
        return ids;
    };

    QProcess* running = launch({QStringLiteral("--transcribe"), work + QStringLiteral("/talk.m4a")});
    ASSERT_TRUE(QTest::qWaitFor([&] { return importedIDs().size() == 1; }, 60000));
    expectTranscribedSession(importedIDs().at(0));

    m_workingDirectory = work;
    EXPECT_EQ(launchAndWait({QStringLiteral("--transcribe"), QStringLiteral("missing.m4a")}), 1);
    EXPECT_EQ(launchAndWait({QStringLiteral("--transcribe"), second}), 0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return importedIDs().size() == 2; }, 60000));
    EXPECT_EQ(m_lemonfox.requests().size(), 2);
    EXPECT_EQ(running->state(), QProcess::Running);
}

// Logout or shutdown (SIGTERM) in the middle of a recording: the session survives as after a crash.
TEST_F(AppProcess, RecordingEndedByLogoutIsKeptAndTranscribedAtTheNextLaunch) {
    QProcess* first = nullptr;
    QString id, wav;
    ASSERT_NO_FATAL_FAILURE(recordSpeech(first, id, wav));

    // The session ends with the process: header complete, record kept, nothing uploaded.
    ::kill(pid_t(first->processId()), SIGTERM);
    ASSERT_TRUE(first->waitForFinished(10000));
    EXPECT_EQ(first->exitStatus(), QProcess::NormalExit);
    EXPECT_FALSE(WavHeaderRepair::repairIfNeeded(wav)) << "the header was left unfinished";
    EXPECT_EQ(pendingSessionID(), id);
    EXPECT_TRUE(m_lemonfox.requests().isEmpty());

    launch({});
    expectTranscribedSession(id);
}

} // namespace
} // namespace murmurly
