// The real program, started as the user (or a global shortcut) would start it: under a real X
// server or the offscreen platform, with the private sound server and the local Lemonfox stand-in.
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

using test::FakeTranscriptionService;

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
        m_binary = QCoreApplication::applicationDirPath() + QStringLiteral("/murmurly"); // built beside it
        ASSERT_TRUE(QFileInfo(m_binary).isExecutable()) << qPrintable(m_binary);

        m_env = QProcessEnvironment::systemEnvironment();
        m_env.insert(QStringLiteral("MURMURLY_LEMONFOX_BASE_URL"), m_lemonfox.baseUrl().toString());
        m_env.insert(QStringLiteral("LEMONFOX_API_KEY"), QStringLiteral("test-key"));
        // The instance's socket goes into a folder of this test (private, as a runtime folder must
        // be), never the developer's session.
        m_env.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_scratch.path());
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
        for (QProcess* process : m_processes + QList<QProcess*>{&m_xvfb}) {
            process->kill();
            process->waitForFinished(5000);
        }
        qDeleteAll(m_processes);
    }

    // A real X server of our own; the display it took is in the environment afterwards.
    void startXServer() {
        m_xvfb.setProcessChannelMode(QProcess::SeparateChannels);
        m_xvfb.start(
            QStringLiteral("Xvfb"),
            QStringLiteral("-displayfd 1 -nolisten tcp -screen 0 1280x800x24").split(QLatin1Char(' ')));
        ASSERT_TRUE(m_xvfb.waitForStarted(10000));
        QByteArray display;
        while (!display.contains('\n') && m_xvfb.waitForReadyRead(20000))
            display += m_xvfb.readAllStandardOutput();
        ASSERT_TRUE(display.contains('\n'));
        m_env.insert(QStringLiteral("DISPLAY"), QStringLiteral(":") + QString::fromLatin1(display.trimmed()));
        m_env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
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
        const QString transcript = test::transcriptsFolder() + QLatin1Char('/') + id + QStringLiteral(".txt");
        ASSERT_TRUE(QTest::qWaitFor([&] { return QFileInfo::exists(transcript); }, 120000));
        EXPECT_EQ(test::readFile(transcript), test::kServiceTranscript.toUtf8());
        EXPECT_TRUE(QFileInfo::exists(test::transcriptsFolder() + QStringLiteral("/mixed-") + id +
                                      QStringLiteral(".opus")));
        // The WAV goes once its Opus copy exists, and the pending record once the run has ended.
        ASSERT_TRUE(QTest::qWaitFor([&] { return !QFileInfo::exists(pendingPath()); }, 10000));
        EXPECT_FALSE(
            QFileInfo::exists(test::appFolder() + QStringLiteral("/mixed-") + id + QStringLiteral(".wav")));
        ASSERT_EQ(m_lemonfox.requests().size(), requests);
        EXPECT_EQ(m_lemonfox.requests().last().header("Authorization"), QByteArray("Bearer test-key"));
    }

    FakeTranscriptionService m_lemonfox{FakeTranscriptionService::Kind::lemonfox};
    QTemporaryDir m_scratch;
    QString m_binary;
    QProcessEnvironment m_env;
    QString m_micSpeech;
    QString m_systemSpeech;
    QProcess m_xvfb;
    QList<QProcess*> m_processes;
};

TEST_F(AppProcess, TranscribeFileAndToggleFromAShortcutReachTheRunningMurmurly) {
    startXServer();
    const QString work = m_scratch.filePath(QStringLiteral("work"));
    QDir().mkpath(work);
    test::makeMedia(test::stereoTone(3) + QStringList{QStringLiteral("-c:a"), QStringLiteral("aac")},
                    work + QStringLiteral("/talk.m4a"));
    // A relative name, resolved in the folder the command runs in (not the running instance's), and
    // a path that travels to the running instance long and with any character in it.
    const QString second =
        QStringLiteral("Zoë's second\ntalk ") + QString(200, QLatin1Char('x')) + QStringLiteral(".m4a");
    QFile::copy(work + QStringLiteral("/talk.m4a"), work + QLatin1Char('/') + second);
    const auto transcriptIDs = [] {
        QStringList ids;
        for (const QString& name : QDir(test::transcriptsFolder()).entryList({QStringLiteral("*.txt")}))
            ids << name.chopped(4);
        return ids;
    };

    // No Murmurly runs yet: --transcribe starts one, which imports the file.
    QProcess* running = launch({QStringLiteral("--transcribe"), work + QStringLiteral("/talk.m4a")});
    ASSERT_TRUE(QTest::qWaitFor([&] { return transcriptIDs().size() == 1; }, 60000));
    expectTranscribedSession(transcriptIDs().at(0), 1);

    // The shortcut's --toggle starts a recording in the running one; a plain launch only brings it
    // forward and records nothing of its own.
    EXPECT_EQ(launchAndWait({QStringLiteral("--toggle")}), 0);
    ASSERT_TRUE(QTest::qWaitFor([] { return !pendingSessionID().isEmpty(); }, 30000));
    const QString id = pendingSessionID();
    EXPECT_EQ(launchAndWait({}), 0);
    EXPECT_EQ(pendingSessionID(), id);

    // Both sources at once, as in a call.
    const auto mic = test::PulseFixture::startPlaying(m_micSpeech, QStringLiteral("mic_in"));
    const auto system = test::PulseFixture::startPlaying(m_systemSpeech, QStringLiteral("speakers"));
    ASSERT_TRUE(mic && system) << qPrintable(test::PulseFixture::lastError());
    ASSERT_TRUE(mic->waitForFinished(60000) && system->waitForFinished(60000));
    ASSERT_EQ(mic->exitCode() | system->exitCode(), 0);

    // The shortcut again: the running instance stops and transcribes; the launch itself ends.
    EXPECT_EQ(launchAndWait({QStringLiteral("--toggle")}), 0);
    expectTranscribedSession(id, 2);

    EXPECT_EQ(launchAndWait({QStringLiteral("--transcribe"), QStringLiteral("missing.m4a")}, work), 1);
    EXPECT_EQ(launchAndWait({QStringLiteral("--transcribe"), second}, work), 0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return transcriptIDs().size() == 3; }, 60000));
    EXPECT_EQ(m_lemonfox.requests().size(), 3);
    EXPECT_EQ(running->state(), QProcess::Running);
}

// A crash (SIGKILL) or a logout (SIGTERM) in the middle of a recording: the session is kept and
// the next launch, which finds the dead instance's lock and socket, transcribes it.
TEST_F(AppProcess, RecordingEndedByACrashOrALogoutIsTranscribedAtTheNextLaunch) {
    int uploads = 0;
    for (const int signal : {SIGTERM, SIGKILL}) {
        SCOPED_TRACE(signal);
        QProcess* first = launch({QStringLiteral("--toggle")});
        ASSERT_TRUE(QTest::qWaitFor([] { return !pendingSessionID().isEmpty(); }, 30000));
        const QString id = pendingSessionID();
        const QString wav = test::appFolder() + QStringLiteral("/mixed-") + id + QStringLiteral(".wav");
        ASSERT_TRUE(test::PulseFixture::play(m_micSpeech, QStringLiteral("mic_in")));
        ASSERT_TRUE(QTest::qWaitFor([&] { return QFileInfo(wav).size() > 16000; }, 30000));

        ::kill(pid_t(first->processId()), signal);
        ASSERT_TRUE(first->waitForFinished(10000));
        // A logout ends the session with the process: header complete, record kept.
        if (signal == SIGTERM) {
            EXPECT_EQ(first->exitStatus(), QProcess::NormalExit);
            EXPECT_FALSE(WavHeaderRepair::repairIfNeeded(wav)) << "the header was left unfinished";
        }
        EXPECT_EQ(pendingSessionID(), id);
        EXPECT_EQ(m_lemonfox.requests().size(), uploads);

        QProcess* next = launch({});
        expectTranscribedSession(id, ++uploads);
        // It took over the instance: a later launch reaches it. (Its socket replaces the dead one's
        // file even without the explicit removal in claim(): Qt binds the private socket elsewhere
        // and renames it into place.)
        EXPECT_EQ(launchAndWait({}), 0);
        EXPECT_EQ(next->state(), QProcess::Running);
        next->terminate();
        ASSERT_TRUE(next->waitForFinished(10000));
    }
}

} // namespace
} // namespace murmurly
