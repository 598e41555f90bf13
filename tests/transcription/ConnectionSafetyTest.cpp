// What goes over the wire besides the upload itself: the temporary copies of an upload, and the
// way to the service through the user's proxy.
#include "transcription/ServiceFixture.h"

#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

namespace murmurly::test {
namespace {

using ConnectionSafetyTest = ServiceFixture;

// The temporary copies of a recording (the compressed copy and the request body) sit in a folder
// every user can list: nobody else may read them while the upload is under way. Cancelling the
// call aborts the request and takes them away.
TEST_F(ConnectionSafetyTest, TemporaryCopiesAreTheOwnersOnlyAndGoWithACancelledCall) {
    lemonfox.setAnswer({.mode = FakeAnswer::Mode::neverAnswer});
    CancellationToken token;
    QStringList whileSending;
    QObject::connect(&lemonfox, &FakeTranscriptionService::requestReceived, &lemonfox, [&] {
        whileSending = temporaryFiles();
        for (const QString& name : whileSending)
            EXPECT_EQ(QFileInfo(QDir::temp().filePath(name)).permissions() & 0x0077, 0) << qPrintable(name);
        token.cancel();
    });
    const auto outcome =
        runCall(lemonfoxClient->transcribe(writeSessionWav(input("clip.wav")), std::nullopt, token));
    EXPECT_NE(dynamic_cast<const OperationCancelled*>(outcome.error.get()), nullptr)
        << qPrintable(outcome.errorText());
    EXPECT_EQ(whileSending.filter(QStringLiteral(".opus")).size(), 1);
    EXPECT_EQ(whileSending.filter(QStringLiteral(".multipart")).size(), 1);
    EXPECT_EQ(temporaryFiles(), QStringList());
}

TEST_F(ConnectionSafetyTest, CallsGoThroughTheSystemProxyUnlessTheHostIsExempt) {
    // tinyproxy on a free port of 127.0.0.1, for this test only.
    QTemporaryDir dir;
    QTcpServer probe;
    ASSERT_TRUE(dir.isValid() && probe.listen(QHostAddress::LocalHost));
    const quint16 port = probe.serverPort();
    probe.close();
    const QString config = dir.filePath(QStringLiteral("tinyproxy.conf"));
    writeFile(config, QStringLiteral("Port %1\nListen 127.0.0.1\nTimeout 30\nAllow 127.0.0.1\n"
                                     "MaxClients 10\nLogFile \"%2\"\n")
                          .arg(port)
                          .arg(dir.filePath(QStringLiteral("log")))
                          .toUtf8());
    QProcess proxy;
    proxy.start(QStringLiteral("tinyproxy"), {QStringLiteral("-d"), QStringLiteral("-c"), config});
    ASSERT_TRUE(QTest::qWaitFor(
        [port] {
            QTcpSocket socket;
            socket.connectToHost(QHostAddress::LocalHost, port);
            return socket.waitForConnected(200);
        },
        10000))
        << "tinyproxy did not start";
    const QByteArray url = "http://127.0.0.1:" + QByteArray::number(port);
    qputenv("http_proxy", url);
    qputenv("https_proxy", url);

    // Both kinds of call reach the service by way of the proxy, which names itself in "Via".
    EXPECT_EQ(call(Call::lemonfox, opusInput()).errorText(), "<no error>");
    EXPECT_EQ(call(Call::mistralStream, opusInput()).errorText(), "<no error>");
    // A host on the exemption list is reached directly.
    qputenv("no_proxy", "127.0.0.1");
    EXPECT_EQ(call(Call::lemonfox, opusInput()).errorText(), "<no error>");
    proxy.kill();
    proxy.waitForFinished();

    ASSERT_EQ(lemonfox.requests().size(), 2);
    ASSERT_EQ(mistral.requests().size(), 1);
    EXPECT_TRUE(lemonfox.requests()[0].header("Via").value_or("").contains("tinyproxy"));
    EXPECT_TRUE(mistral.requests()[0].header("Via").value_or("").contains("tinyproxy"));
    EXPECT_FALSE(lemonfox.requests()[1].header("Via").has_value());
}

} // namespace
} // namespace murmurly::test
