#include "app/SingleInstance.h"

#include <QDir>
#include <QLocalSocket>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <csignal>
#include <future>
#include <optional>
#include <thread>

namespace murmurly {
namespace {

using Command = SingleInstance::Command;

// A blocking send() must run off the thread whose event loop serves the socket.
std::future<std::optional<QString>> sendAsync(const QString& dir, Command command, int timeoutMs = 10000) {
    return std::async(std::launch::async, [dir, command, timeoutMs] {
        SingleInstance other(dir);
        return other.send(command, timeoutMs);
    });
}

std::optional<QString> finish(std::future<std::optional<QString>>& reply) {
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return reply.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 15000));
    return reply.get();
}

TEST(SingleInstance, SecondLaunchHandsItsCommandToTheFirstAndBadClientsBlockNobody) {
    QTemporaryDir dir;
    SingleInstance first(dir.path());
    QList<Command> received;
    QObject context;
    QObject::connect(&first, &SingleInstance::commandReceived, &context,
                     [&](Command command) { received.append(command); });
    ASSERT_TRUE(first.claim());
    EXPECT_TRUE(first.isPrimary());
    EXPECT_TRUE(first.claim()); // claiming again is harmless

    SingleInstance second(dir.path());
    EXPECT_FALSE(second.claim());
    EXPECT_FALSE(second.isPrimary());

    // One client connects and says nothing; one floods without a line end; one sends nonsense.
    QLocalSocket silent;
    silent.connectToServer(first.socketPath());
    ASSERT_TRUE(silent.waitForConnected(5000));
    QLocalSocket flood;
    flood.connectToServer(first.socketPath());
    ASSERT_TRUE(flood.waitForConnected(5000));
    flood.write(QByteArray(64 * 1024, 'x'));
    QLocalSocket bogus;
    bogus.connectToServer(first.socketPath());
    ASSERT_TRUE(bogus.waitForConnected(5000));
    bogus.write("record-everything\n");
    ASSERT_TRUE(QTest::qWaitFor([&] { return bogus.canReadLine(); }, 5000));
    EXPECT_EQ(bogus.readLine(), QByteArray("unknown\n"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return flood.state() == QLocalSocket::UnconnectedState; }, 5000));

    auto toggle = sendAsync(dir.path(), Command::Toggle);
    EXPECT_EQ(finish(toggle), std::nullopt);
    auto show = sendAsync(dir.path(), Command::Show);
    EXPECT_EQ(finish(show), std::nullopt);
    ASSERT_TRUE(QTest::qWaitFor([&] { return received.size() == 2; }, 5000));
    EXPECT_EQ(received, (QList<Command>{Command::Toggle, Command::Show}));
}

TEST(SingleInstance, NobodyListeningIsReportedNotAwaitedForever) {
    QTemporaryDir dir;
    SingleInstance lonely(dir.path());
    const auto error = lonely.send(Command::Show, 300);
    ASSERT_TRUE(error.has_value());
    EXPECT_TRUE(error->contains(QStringLiteral("does not answer"))) << qPrintable(*error);
}

// Run in a child process by the crash test below: holds the instance in the folder named by the
// environment and reports every command on stdout until it is killed.
TEST(SingleInstance, DISABLED_HoldInstanceUntilKilled) {
    SingleInstance held(qEnvironmentVariable("MURMURLY_TEST_INSTANCE_DIR"));
    QObject context;
    QObject::connect(&held, &SingleInstance::commandReceived, &context, [](Command command) {
        std::printf("command %s", SingleInstance::encode(command).constData());
        std::fflush(stdout);
    });
    ASSERT_TRUE(held.claim());
    std::printf("claimed\n");
    std::fflush(stdout);
    QTest::qWait(120000);
}

TEST(SingleInstance, InstanceKilledMidSessionDoesNotBlockTheNextLaunch) {
    QTemporaryDir dir;
    QProcess holder;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("MURMURLY_TEST_INSTANCE_DIR"), dir.path());
    holder.setProcessEnvironment(env);
    holder.start(QCoreApplication::applicationFilePath(),
                 {QStringLiteral("--gtest_also_run_disabled_tests"),
                  QStringLiteral("--gtest_filter=SingleInstance.DISABLED_HoldInstanceUntilKilled")});
    ASSERT_TRUE(holder.waitForStarted(10000));
    QByteArray output;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            output += holder.readAllStandardOutput();
            return output.contains("claimed\n");
        },
        20000))
        << output.constData();

    // While it lives, the other process is the instance and receives our command.
    SingleInstance next(dir.path());
    EXPECT_FALSE(next.claim());
    auto toggle = sendAsync(dir.path(), Command::Toggle);
    EXPECT_EQ(finish(toggle), std::nullopt);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            output += holder.readAllStandardOutput();
            return output.contains("command toggle\n");
        },
        10000));

    // A crash leaves the lock file and the socket file behind.
    ::kill(pid_t(holder.processId()), SIGKILL);
    ASSERT_TRUE(holder.waitForFinished(10000));
    EXPECT_TRUE(QFileInfo::exists(next.lockPath()));
    EXPECT_TRUE(QFileInfo::exists(next.socketPath()));

    QList<Command> received;
    QObject context;
    QObject::connect(&next, &SingleInstance::commandReceived, &context,
                     [&](Command command) { received.append(command); });
    ASSERT_TRUE(next.claim());
    auto show = sendAsync(dir.path(), Command::Show);
    EXPECT_EQ(finish(show), std::nullopt);
    EXPECT_EQ(received, QList<Command>{Command::Show});
}

} // namespace
} // namespace murmurly
