// The pipeline's shared base: session folders and names, the pending record, and the settings
// files other versions of the app share.
#include "storage/SessionStore.h"
#include "pipeline/LanguageOptions.h"
#include "storage/PlainTextStore.h"
#include "support/TestFiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <gtest/gtest.h>

using namespace murmurly;

using murmurly::test::readFile;
using murmurly::test::writeFile;

namespace {

QString appFolder() {
    return qEnvironmentVariable("XDG_DATA_HOME") + QStringLiteral("/Murmurly");
}

QDateTime utc(const char* iso) {
    return QDateTime::fromString(QString::fromLatin1(iso), Qt::ISODate).toUTC();
}

} // namespace

TEST(SessionStore, SessionsAreNamedByTheirStartSecondAndTheirTranscriptsWrittenWhole) {
    ASSERT_FALSE(QFileInfo::exists(appFolder()));
    EXPECT_EQ(SessionStore::transcriptsDirectory(), appFolder() + QStringLiteral("/transcripts"));
    EXPECT_TRUE(QFileInfo(appFolder() + QStringLiteral("/transcripts")).isDir());
    EXPECT_EQ(SessionStore::pendingSessionPath(), appFolder() + QStringLiteral("/pending_session.json"));

    const PendingSession session = SessionStore::createNewSession();
    const QString id = SessionStore::sessionIDFor(session.startedAt);
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ$"))
                    .match(id)
                    .hasMatch())
        << id.toStdString();
    EXPECT_EQ(session.audioPath, appFolder() + QStringLiteral("/mixed-") + id + QStringLiteral(".wav"));
    EXPECT_FALSE(QFileInfo::exists(session.audioPath));
    EXPECT_FALSE(QFileInfo::exists(SessionStore::pendingSessionPath()));
    EXPECT_LE(std::abs(session.startedAt.secsTo(QDateTime::currentDateTimeUtc())), 5);
    EXPECT_EQ(SessionStore::sessionIDFor(utc("2025-03-01T14:05:09.900Z")),
              QStringLiteral("2025-03-01T14:05:09Z"));
    EXPECT_EQ(SessionStore::sessionIDFor(utc("2025-03-01T15:05:09+01:00")),
              QStringLiteral("2025-03-01T14:05:09Z"));

    // Transcripts are written whole and replaced.
    const QString path = SessionStore::transcriptsDirectory() + QStringLiteral("/2025-03-01T14:05:09Z.txt");
    const QString first = QStringLiteral("[00:00] SPEAKER_00: Grüße – 你好\n");
    SessionStore::saveTranscript(first, QStringLiteral("2025-03-01T14:05:09Z"));
    EXPECT_EQ(QString::fromUtf8(readFile(path)), first);
    SessionStore::saveTranscript(QStringLiteral("[00:01] Speaker: Bye\n"),
                                 QStringLiteral("2025-03-01T14:05:09Z"));
    EXPECT_EQ(readFile(path), QByteArray("[00:01] Speaker: Bye\n"));
    // Nothing but the transcript is left behind.
    EXPECT_EQ(QDir(SessionStore::transcriptsDirectory()).entryList(QDir::Files | QDir::Hidden),
              QStringList{QStringLiteral("2025-03-01T14:05:09Z.txt")});
}

TEST(SessionStore, FindsSessionIdsAndOpusCopiesFromNames) {
    const std::pair<const char*, std::optional<QString>> names[] = {
        {"mixed-2025-03-01T14:05:09Z.wav", QStringLiteral("2025-03-01T14:05:09Z")},
        {"mixed-X.opus", QStringLiteral("X")},
        {"mixed-X.ogg", QStringLiteral("X")},
        {"mixed-.wav", QString()},
        {"mic-X.wav", std::nullopt},
        {"mixed-X.mp3", std::nullopt},
        {"mixed-X.WAV", std::nullopt},
        {"Mixed-X.wav", std::nullopt},
    };
    for (const auto& [name, id] : names) {
        EXPECT_EQ(SessionStore::sessionID(QStringLiteral("/somewhere/") + QLatin1String(name),
                                          QStringLiteral("mixed-")),
                  id)
            << name;
    }
    const QString transcripts = SessionStore::transcriptsDirectory();
    const std::pair<const char*, std::optional<QString>> copies[] = {
        {"/elsewhere/system-X.wav", transcripts + QStringLiteral("/system-X.opus")},
        {"/a/mic-X.tar.wav", transcripts + QStringLiteral("/mic-X.tar.opus")},
        {"/a/mixed-X.opus", transcripts + QStringLiteral("/mixed-X.opus")},
        {"/a/other-X.wav", std::nullopt},
    };
    for (const auto& [path, copy] : copies) {
        EXPECT_EQ(SessionStore::opusURL(QLatin1String(path)), copy) << path;
    }
}

// Reading a record never changes it: one that does not decode stays for a later version.
TEST(SessionStore, PendingRecordRoundTripsReadsOlderRecordsAndRefusesTheRest) {
    const PendingSession session{appFolder() + QStringLiteral("/mixed-2025-03-01T14:05:09Z.wav"),
                                 utc("2025-03-01T14:05:09Z")};
    ASSERT_TRUE(SessionStore::writePending(session));
    EXPECT_EQ(SessionStore::readPending(), session);
    const QByteArray stored = readFile(SessionStore::pendingSessionPath());
    EXPECT_FALSE(stored.contains('\n')); // compact
    EXPECT_TRUE(stored.contains("\"startedAt\":\"2025-03-01T14:05:09Z\"")) << stored.toStdString();
    const PendingSession later{QStringLiteral("/x/mixed-2025-03-02T00:00:00Z.wav"),
                               utc("2025-03-02T00:00:00Z")};
    ASSERT_TRUE(SessionStore::writePending(later));
    EXPECT_EQ(SessionStore::readPending(), later);

    // Older records name the microphone's file; the slash survives an escaped form.
    const std::pair<const char*, std::optional<QString>> records[] = {
        {R"({"micPath":"/m.wav","startedAt":"2025-03-01T14:05:09Z"})", QStringLiteral("/m.wav")},
        {R"({"audioPath":"/a.wav","micPath":"/m.wav","startedAt":"2025-03-01T14:05:09Z"})",
         QStringLiteral("/a.wav")},
        {R"({"audioPath":null,"micPath":"/m.wav","startedAt":"2025-03-01T14:05:09Z"})",
         QStringLiteral("/m.wav")},
        {R"({"systemPath":"/s.wav","extra":[1,2],"startedAt":"2025-03-01T14:05:09Z"})", QString()},
        {R"({"audioPath":"\/a\/b.wav","startedAt":"2025-03-01T14:05:09Z"})", QStringLiteral("/a/b.wav")},
        {R"({"audioPath":"/a.wav","startedAt":"2025-03-01T14:05:09.500Z"})", std::nullopt},
        {R"({"audioPath":"/a.wav","startedAt":"2025-03-01T15:05:09+01:00"})", std::nullopt},
        {R"({"audioPath":"/a.wav","startedAt":"2025-03-01T14:05:09"})", std::nullopt},
        {R"({"audioPath":"/a.wav","startedAt":"2025-13-01T14:05:09Z"})", std::nullopt},
        {R"({"audioPath":"/a.wav","startedAt":762703509})", std::nullopt},
        {R"({"audioPath":"/a.wav"})", std::nullopt},
        {R"({"audioPath":42,"startedAt":"2025-03-01T14:05:09Z"})", std::nullopt},
        {R"(["/a.wav","2025-03-01T14:05:09Z"])", std::nullopt},
    };
    for (const auto& [json, path] : records) {
        writeFile(SessionStore::pendingSessionPath(), QByteArray(json));
        const auto expected =
            path ? std::optional(PendingSession{*path, utc("2025-03-01T14:05:09Z")}) : std::nullopt;
        EXPECT_EQ(SessionStore::readPending(), expected) << json;
        EXPECT_EQ(readFile(SessionStore::pendingSessionPath()), QByteArray(json));
    }
    // A record cut short anywhere (a crash while writing it) is refused as well.
    const QByteArray valid = session.encode();
    ASSERT_TRUE(PendingSession::decode(valid));
    for (qsizetype length = 0; length < valid.size(); ++length)
        EXPECT_FALSE(PendingSession::decode(valid.left(length))) << length;

    SessionStore::clearPending();
    EXPECT_FALSE(QFileInfo::exists(SessionStore::pendingSessionPath()));
    EXPECT_EQ(SessionStore::readPending(), std::nullopt);
}

// The files other versions of the app share: where they are, how they are read and written.
TEST(PlainTextStore, ValuesLiveInHomeFilesReadAndWrittenTrimmedOrNotAtAll) {
    const QString home = QDir::homePath();
    EXPECT_EQ(PlainTextStore::lemonfoxApiKeyURL(), home + QStringLiteral("/.lemonfox_api_key"));
    EXPECT_EQ(PlainTextStore::mistralApiKeyURL(), home + QStringLiteral("/.mistral_api_key"));
    EXPECT_EQ(PlainTextStore::providerURL(), home + QStringLiteral("/.murmurly_transcription_provider"));
    EXPECT_EQ(PlainTextStore::languageURL(), home + QStringLiteral("/.murmurly_language"));

    // Blank or broken files count as absent.
    const QString key = PlainTextStore::lemonfoxApiKeyURL();
    EXPECT_EQ(PlainTextStore::readValue(key), std::nullopt);
    const std::pair<QByteArray, std::optional<QString>> cases[] = {
        {"  sk-lemon-123 \r\n", QStringLiteral("sk-lemon-123")},
        {" \t\n \n", std::nullopt},
        {"\xEF\xBB\xBFkey-after-bom\n", QStringLiteral("key-after-bom")},
        {"sk-\xff\xfe-not-utf8", std::nullopt},
        {"sk-\xC3", std::nullopt}, // cut in the middle of a character
    };
    for (const auto& [stored, read] : cases) {
        writeFile(key, stored);
        EXPECT_EQ(PlainTextStore::readValue(key), read) << stored.toStdString();
    }
    QFile::remove(key);
    ASSERT_TRUE(QDir().mkdir(key));
    EXPECT_EQ(PlainTextStore::readValue(key), std::nullopt);

    // Written trimmed, without a line break, in place and nowhere else.
    const QString other = PlainTextStore::mistralApiKeyURL();
    ASSERT_TRUE(PlainTextStore::writeValue(other, QStringLiteral("  sk-mistral\n")));
    EXPECT_EQ(readFile(other), QByteArray("sk-mistral"));
    ASSERT_TRUE(PlainTextStore::writeValue(other, QStringLiteral("sk-2")));
    EXPECT_EQ(readFile(other), QByteArray("sk-2"));
    EXPECT_EQ(QDir::home().entryList({QStringLiteral(".mistral*")}, QDir::Files | QDir::Hidden),
              QStringList{QStringLiteral(".mistral_api_key")});
    EXPECT_FALSE(
        PlainTextStore::writeValue(home + QStringLiteral("/no/such/folder/key"), QStringLiteral("x")));
    EXPECT_TRUE(PlainTextStore::deleteFile(other));
    EXPECT_FALSE(QFileInfo::exists(other));
    EXPECT_TRUE(PlainTextStore::deleteFile(other)); // already gone

    // The provider defaults to Lemonfox; no language leaves no file.
    EXPECT_EQ(PlainTextStore::readProvider(), TranscriptionProvider::lemonfox);
    writeFile(PlainTextStore::providerURL(), " MISTRAL\n");
    EXPECT_EQ(PlainTextStore::readProvider(), TranscriptionProvider::mistral);
    writeFile(PlainTextStore::providerURL(), "openai");
    EXPECT_EQ(PlainTextStore::readProvider(), TranscriptionProvider::lemonfox);
    ASSERT_TRUE(PlainTextStore::writeProvider(TranscriptionProvider::mistral));
    EXPECT_EQ(readFile(PlainTextStore::providerURL()), QByteArray("mistral"));

    EXPECT_EQ(PlainTextStore::readLanguage(), std::nullopt);
    ASSERT_TRUE(PlainTextStore::writeLanguage(QStringLiteral(" de ")));
    EXPECT_EQ(readFile(PlainTextStore::languageURL()), QByteArray("de"));
    EXPECT_EQ(PlainTextStore::readLanguage(), QStringLiteral("de"));
    ASSERT_TRUE(PlainTextStore::writeLanguage(std::nullopt));
    EXPECT_FALSE(QFileInfo::exists(PlainTextStore::languageURL()));
    ASSERT_TRUE(PlainTextStore::writeLanguage(QStringLiteral("english")));
    ASSERT_TRUE(PlainTextStore::writeLanguage(QStringLiteral("  ")));
    EXPECT_FALSE(QFileInfo::exists(PlainTextStore::languageURL()));
}

// The settings' language menu: what a choice stores, and which choice a stored value shows.
TEST(LanguageOptions, ResolvesChoicesAndShowsStoredValues) {
    const QString autoChoice = QStringLiteral("Auto");
    const QString custom = QStringLiteral("Custom");
    EXPECT_EQ(LanguageOptions::resolve(autoChoice, QStringLiteral("fr")), std::nullopt);
    EXPECT_EQ(LanguageOptions::resolve(custom, QStringLiteral(" de\n")), QStringLiteral("de"));
    EXPECT_EQ(LanguageOptions::resolve(custom, QStringLiteral("  ")), std::nullopt);
    EXPECT_EQ(LanguageOptions::resolve(QStringLiteral("english"), QStringLiteral("de")),
              QStringLiteral("english"));

    using S = LanguageOptions::Selection;
    EXPECT_EQ(LanguageOptions::selectionFor(QStringLiteral("english")), (S{QStringLiteral("english"), {}}));
    EXPECT_EQ(LanguageOptions::selectionFor(QStringLiteral("English")),
              (S{custom, QStringLiteral("English")}));
    EXPECT_EQ(LanguageOptions::selectionFor(custom), (S{custom, custom}));
    EXPECT_EQ(LanguageOptions::selectionFor(autoChoice), (S{custom, autoChoice}));
    EXPECT_EQ(LanguageOptions::selectionFor(std::nullopt), (S{autoChoice, {}}));
    EXPECT_EQ(LanguageOptions::selectionFor(QString()), (S{autoChoice, {}}));
}
