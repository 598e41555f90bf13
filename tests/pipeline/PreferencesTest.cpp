#include "pipeline/LanguageOptions.h"
#include "storage/PlainTextStore.h"
#include "support/TestFiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

using namespace murmurly;

using murmurly::test::readFile;
using murmurly::test::writeFile;

// The files other versions of the app share: where they are, how they are read and written.
TEST(PlainTextStore, ValuesLiveInHomeFilesReadAndWrittenTrimmedOrNotAtAll) {
    const QString home = QDir::homePath();
    EXPECT_EQ(home, qEnvironmentVariable("HOME")); // the test's own home, never the real one
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
    EXPECT_EQ(LanguageOptions::entries().first().value, autoChoice);
    EXPECT_EQ(LanguageOptions::entries().last().value, custom);
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
