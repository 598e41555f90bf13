// The murmurly program as a terminal, a launcher and the session see it: help and version without
// a display, the model found beside the binary, an orderly end when the session says so, and the one
// instance that later launches hand their command to.
#include "app/SingleInstance.h"

#include <QCoreApplication>
#include <QDir>
#include <QLocalSocket>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <csignal>
#include <future>
#include <optional>
#include <utility>

namespace murmurly {
namespace {

TEST(CommandLine, AnswersHelpWithoutADisplayFindsItsModelAndQuitsInOrderWhenTheSessionEnds) {
    // The tests and the program are built into the same bin folder.
    const QString binary = QCoreApplication::applicationDirPath() + "/murmurly";
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name :
         {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "MURMURLY_VAD_MODEL", "PULSE_SERVER"})
        env.remove(name);
    const auto run = [&](const QStringList& arguments) {
        QProcess process;
        process.setProcessEnvironment(env);
        process.start(binary, arguments);
        EXPECT_TRUE(process.waitForFinished(20000));
        EXPECT_EQ(process.exitStatus(), QProcess::NormalExit) << process.readAllStandardError().constData();
        EXPECT_EQ(process.exitCode(), 0);
        return process.readAllStandardOutput();
    };
    EXPECT_EQ(run({"--version"}), QByteArray("Murmurly " MURMURLY_VERSION "\n"));
    const QByteArray text = run({"--toggle", "-h"});
    EXPECT_TRUE(text.contains("Usage:") && text.contains("--toggle")) << text.constData();

    QTemporaryDir runtime;
    env.insert("XDG_RUNTIME_DIR", runtime.path());
    env.insert("QT_QPA_PLATFORM", "offscreen");
    const QString model = QCoreApplication::applicationDirPath() + "/../share/murmurly/silero_vad_v6.onnx";
    const QByteArray found = "VAD model: " + QDir::cleanPath(model).toUtf8();

    // Logout (SIGTERM), Ctrl+C (SIGINT) and a closed terminal (SIGHUP) end it as Quit does; a
    // hang-up that was ignored when it started (nohup) does not.
    for (const auto& [number, nohup] :
         {std::pair{SIGTERM, false}, {SIGINT, false}, {SIGHUP, false}, {SIGHUP, true}}) {
        QProcess app;
        app.setProcessEnvironment(env);
        if (nohup)
            app.setChildProcessModifier([] { ::signal(SIGHUP, SIG_IGN); });
        app.start(binary, {});
        ASSERT_TRUE(app.waitForStarted(10000));
        QByteArray log;
        for (int i = 0; i < 200 && !log.contains(found) && app.state() == QProcess::Running; ++i) {
            app.waitForReadyRead(100);
            log += app.readAllStandardError();
        }
        ASSERT_TRUE(log.contains(found)) << found.constData() << " in " << log.constData();
        // Never signal pid 0: that would be this test's own process group.
        const auto pid = pid_t(app.processId());
        ASSERT_GT(pid, 0);
        ::kill(pid, number);
        if (nohup) {
            EXPECT_FALSE(app.waitForFinished(1000)) << "a hang-up ignored at start ended it";
            if (app.state() == QProcess::Running)
                ::kill(pid, SIGTERM);
        }
        ASSERT_TRUE(app.waitForFinished(10000)) << number;
        EXPECT_EQ(app.exitStatus(), QProcess::NormalExit) << number;
        EXPECT_EQ(app.exitCode(), 0) << number;
    }
}

using Command = SingleInstance::Command;

// A blocking send() must run off the thread whose event loop serves the socket.
std::optional<QString> sendFromAnotherThread(const QString& dir, Command command) {
    auto reply =
        std::async(std::launch::async, [dir, command] { return SingleInstance(dir).send(command, 10000); });
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return reply.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 15000));
    return reply.get();
}

TEST(SingleInstance, SecondLaunchHandsItsCommandToTheFirstAndBadClientsBlockNobody) {
    QTemporaryDir dir;
    SingleInstance first(dir.path());
    // Nobody listening yet: reported, not awaited forever.
    EXPECT_TRUE(first.send(Command::Show, 300).value_or("").contains("does not answer"));

    QList<Command> received;
    QObject context;
    QObject::connect(&first, &SingleInstance::commandReceived, &context,
                     [&](Command command) { received.append(command); });
    ASSERT_TRUE(first.claim());
    EXPECT_TRUE(first.claim()); // claiming again is harmless
    EXPECT_FALSE(SingleInstance(dir.path()).claim());

    // One client connects and says nothing; one floods without a line end; one sends nonsense.
    QLocalSocket silent, flood, bogus;
    for (QLocalSocket* client : {&silent, &flood, &bogus}) {
        client->connectToServer(first.socketPath());
        ASSERT_TRUE(client->waitForConnected(5000));
    }
    flood.write(QByteArray(64 * 1024, 'x'));
    bogus.write("record-everything\n");
    ASSERT_TRUE(QTest::qWaitFor([&] { return bogus.canReadLine(); }, 5000));
    EXPECT_EQ(bogus.readLine(), QByteArray("unknown\n"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return flood.state() == QLocalSocket::UnconnectedState; }, 5000));

    for (Command command : {Command::Toggle, Command::Show})
        EXPECT_EQ(sendFromAnotherThread(dir.path(), command), std::nullopt);
    ASSERT_TRUE(QTest::qWaitFor([&] { return received.size() == 2; }, 5000));
    EXPECT_EQ(received, (QList<Command>{Command::Toggle, Command::Show}));
}

} // namespace
} // namespace murmurly
