// The murmurly program as a terminal, a launcher and the session see it: help and version without
// a display, the model found beside the binary, and an orderly end when the session says so.
#include <QCoreApplication>
#include <QDir>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>
#include <utility>

namespace murmurly {
namespace {

// The tests and the program are built into the same bin folder.
QString binary() {
    return QCoreApplication::applicationDirPath() + QStringLiteral("/murmurly");
}

TEST(CommandLine, HelpAndVersionAnswerInATerminalWithoutADisplay) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(QLatin1String(name));

    const auto run = [&](const QStringList& arguments) {
        QProcess process;
        process.setProcessEnvironment(env);
        process.start(binary(), arguments);
        EXPECT_TRUE(process.waitForFinished(20000));
        EXPECT_EQ(process.exitStatus(), QProcess::NormalExit) << process.readAllStandardError().constData();
        EXPECT_EQ(process.exitCode(), 0);
        return process.readAllStandardOutput();
    };
    EXPECT_EQ(run({QStringLiteral("--version")}), QByteArray("Murmurly " MURMURLY_VERSION "\n"));
    const QByteArray text = run({QStringLiteral("--toggle"), QStringLiteral("-h")});
    EXPECT_TRUE(text.contains("Usage:") && text.contains("--toggle")) << text.constData();
}

TEST(CommandLine, FindsTheModelBesideItsBinaryAndQuitsInOrderWhenTheSessionEnds) {
    QTemporaryDir runtime;
    ASSERT_TRUE(runtime.isValid());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("MURMURLY_VAD_MODEL"));
    env.remove(QStringLiteral("PULSE_SERVER"));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    const QString model =
        QCoreApplication::applicationDirPath() + QStringLiteral("/../share/murmurly/silero_vad_v6.onnx");
    const QByteArray found = "VAD model: " + QDir::cleanPath(model).toUtf8();

    // Logout (SIGTERM), Ctrl+C (SIGINT) and a closed terminal (SIGHUP) end it as Quit does; a
    // hang-up that was ignored when it started (nohup) does not.
    for (const auto& [number, nohup] :
         {std::pair{SIGTERM, false}, {SIGINT, false}, {SIGHUP, false}, {SIGHUP, true}}) {
        QProcess app;
        app.setProcessEnvironment(env);
        if (nohup)
            app.setChildProcessModifier([] { ::signal(SIGHUP, SIG_IGN); });
        app.start(binary(), {});
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

} // namespace
} // namespace murmurly
