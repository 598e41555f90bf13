// What goes over the wire besides the upload itself: the key in the Authorization header, and the
// way to the service through the user's proxy.
#include "storage/PlainTextStore.h"
#include "transcription/ServiceFixture.h"

#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

namespace murmurly::test {
namespace {

class ConnectionSafetyTest : public ServiceFixture {
protected:
    void TearDown() override {
        // The keys of these tests must not stay cached for the next test in this process.
        LemonfoxTranscriber::resetCachedApiKey();
        MistralTranscriber::resetCachedApiKey();
        QFile::remove(PlainTextStore::lemonfoxApiKeyURL());
        for (const char* name : {"https_proxy", "http_proxy", "no_proxy"})
            qunsetenv(name);
    }
};

TEST_F(ConnectionSafetyTest, KeysWithControlCharactersAreRefusedAndNeverSent) {
    // A key file with a line break inside: it would smuggle a header of its own into the request.
    ASSERT_TRUE(writeBytes(PlainTextStore::lemonfoxApiKeyURL(), "lf-key\r\nX-Injected: yes\n").size());
    LemonfoxTranscriber::resetCachedApiKey();
    const auto lemonfoxOutcome = runCall(lemonfoxClient->transcribe(opusInput(), std::nullopt));
    EXPECT_EQ(
        lemonfoxOutcome.errorText(),
        QStringLiteral("Invalid Lemonfox API key: it contains a line break or another control character. "
                       "Enter the key again in Settings."));

    qputenv("MISTRAL_API_KEY", "ms-key\tsecond");
    MistralTranscriber::resetCachedApiKey();
    const auto mistralOutcome = runCall(mistralClient->transcribeStream(opusInput(), std::nullopt, {}));
    EXPECT_EQ(
        mistralOutcome.errorText(),
        QStringLiteral("Invalid Mistral API key: it contains a line break or another control character. "
                       "Enter the key again in Settings."));

    EXPECT_TRUE(lemonfox.requests().isEmpty());
    EXPECT_TRUE(mistral.requests().isEmpty());
    EXPECT_EQ(temporaryFiles(), QStringList());
}

// The temporary copies of a recording (the compressed copy and the request body) sit in a folder
// every user can list: nobody else may read them while the upload is under way.
TEST_F(ConnectionSafetyTest, TheTemporaryCopiesOfAnUploadAreTheOwnersOnly) {
    FakeAnswer silent;
    silent.mode = FakeAnswer::Mode::neverAnswer;
    lemonfox.setAnswer(silent);
    CancellationToken token;
    CallOutcome<LemonfoxTranscriptionResponse> outcome;
    QEventLoop loop;
    bool done = false;
    auto call =
        captureOutcome(lemonfoxClient->transcribe(writeSessionWav(input("clip.wav")), std::nullopt, token),
                       outcome, loop, done);
    ASSERT_TRUE(QTest::qWaitFor([&] { return lemonfox.requests().size() == 1; }, 20000));
    const QStringList files = temporaryFiles();
    EXPECT_EQ(files.filter(QStringLiteral(".opus")).size(), 1);
    EXPECT_EQ(files.filter(QStringLiteral(".multipart")).size(), 1);
    for (const QString& name : files)
        EXPECT_EQ(QFileInfo(QDir::temp().filePath(name)).permissions() & 0x0077, 0) << qPrintable(name);
    token.cancel();
    if (!done)
        loop.exec();
}

// tinyproxy on a free port of 127.0.0.1, for this test only.
class LocalProxy {
public:
    bool start() {
        QTcpServer probe;
        if (!m_dir.isValid() || !probe.listen(QHostAddress::LocalHost))
            return false;
        m_port = probe.serverPort();
        probe.close();
        const QString config = m_dir.filePath(QStringLiteral("tinyproxy.conf"));
        writeBytes(config, QStringLiteral("Port %1\nListen 127.0.0.1\nTimeout 30\nAllow 127.0.0.1\n"
                                          "MaxClients 10\nLogLevel Info\nLogFile \"%2\"\n")
                               .arg(m_port)
                               .arg(m_dir.filePath(QStringLiteral("log")))
                               .toUtf8());
        m_process.setProcessChannelMode(QProcess::ForwardedChannels);
        m_process.start(QStringLiteral("tinyproxy"), {QStringLiteral("-d"), QStringLiteral("-c"), config});
        if (!m_process.waitForStarted(5000))
            return false;
        return QTest::qWaitFor(
            [this] {
                QTcpSocket socket;
                socket.connectToHost(QHostAddress::LocalHost, m_port);
                return socket.waitForConnected(200);
            },
            10000);
    }
    ~LocalProxy() {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
    QByteArray url() const { return "http://127.0.0.1:" + QByteArray::number(m_port); }

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    quint16 m_port = 0;
};

TEST_F(ConnectionSafetyTest, CallsGoThroughTheSystemProxyUnlessTheHostIsExempt) {
    LocalProxy proxy;
    ASSERT_TRUE(proxy.start()) << "tinyproxy did not start";
    qputenv("http_proxy", proxy.url());
    qputenv("https_proxy", proxy.url());

    // Both kinds of call reach the service by way of the proxy, which names itself in "Via".
    const auto batch = runCall(lemonfoxClient->transcribe(opusInput(), std::nullopt));
    ASSERT_TRUE(batch.value.has_value()) << batch.errorText().toStdString();
    const auto stream = runCall(mistralClient->transcribeStream(opusInput(), std::nullopt, {}));
    ASSERT_TRUE(stream.value.has_value()) << stream.errorText().toStdString();
    ASSERT_EQ(lemonfox.requests().size(), 1);
    ASSERT_EQ(mistral.requests().size(), 1);
    EXPECT_TRUE(lemonfox.requests()[0].header("Via").value_or("").contains("tinyproxy"));
    EXPECT_TRUE(mistral.requests()[0].header("Via").value_or("").contains("tinyproxy"));

    // A host on the exemption list is reached directly.
    qputenv("no_proxy", "127.0.0.1");
    const auto direct = runCall(lemonfoxClient->transcribe(opusInput(), std::nullopt));
    ASSERT_TRUE(direct.value.has_value()) << direct.errorText().toStdString();
    ASSERT_EQ(lemonfox.requests().size(), 2);
    EXPECT_FALSE(lemonfox.requests()[1].header("Via").has_value());
}

} // namespace
} // namespace murmurly::test
