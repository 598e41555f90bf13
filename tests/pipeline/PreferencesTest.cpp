#include "common/Error.h"
#include "pipeline/LanguageOptions.h"
#include "pipeline/PipelineError.h"
#include "storage/PlainTextStore.h"
#include "support/TestFiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

using namespace murmurly;

using murmurly::test::readFile;
using murmurly::test::writeFile;

TEST(PlainTextStore, FilesLiveInTheHomeFolder) {
    const QString home = QDir::homePath();
    EXPECT_EQ(PlainTextStore::lemonfoxApiKeyURL(), home + QStringLiteral("/.lemonfox_api_key"));
    EXPECT_EQ(PlainTextStore::mistralApiKeyURL(), home + QStringLiteral("/.mistral_api_key"));
    EXPECT_EQ(PlainTextStore::providerURL(), home + QStringLiteral("/.murmurly_transcription_provider"));
    EXPECT_EQ(PlainTextStore::languageURL(), home + QStringLiteral("/.murmurly_language"));
    EXPECT_EQ(home, qEnvironmentVariable("HOME")); // the test's own home, never the real one
}

TEST(PlainTextStore, ValuesAreReadTrimmedAndBlankOrBrokenFilesAreAbsent) {
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
}

TEST(PlainTextStore, ValuesAreWrittenTrimmedWithoutALineBreak) {
    const QString key = PlainTextStore::mistralApiKeyURL();
    ASSERT_TRUE(PlainTextStore::writeValue(key, QStringLiteral("  sk-mistral\n")));
    EXPECT_EQ(readFile(key), QByteArray("sk-mistral"));
    ASSERT_TRUE(PlainTextStore::writeValue(key, QStringLiteral("sk-2")));
    EXPECT_EQ(readFile(key), QByteArray("sk-2"));
    EXPECT_EQ(QDir::home().entryList({QStringLiteral(".mistral*")}, QDir::Files | QDir::Hidden),
              QStringList{QStringLiteral(".mistral_api_key")});

    EXPECT_FALSE(PlainTextStore::writeValue(QDir::homePath() + QStringLiteral("/no/such/folder/key"),
                                            QStringLiteral("x")));

    EXPECT_TRUE(PlainTextStore::deleteFile(key));
    EXPECT_FALSE(QFileInfo::exists(key));
    EXPECT_TRUE(PlainTextStore::deleteFile(key)); // already gone
}

TEST(PlainTextStore, ProviderPreferenceDefaultsToLemonfox) {
    EXPECT_EQ(PlainTextStore::readProvider(), TranscriptionProvider::lemonfox);
    writeFile(PlainTextStore::providerURL(), " MISTRAL\n");
    EXPECT_EQ(PlainTextStore::readProvider(), TranscriptionProvider::mistral);
    writeFile(PlainTextStore::providerURL(), "openai");
    EXPECT_EQ(PlainTextStore::readProvider(), TranscriptionProvider::lemonfox);
    writeFile(PlainTextStore::providerURL(), "");
    EXPECT_EQ(PlainTextStore::readProvider(), TranscriptionProvider::lemonfox);

    ASSERT_TRUE(PlainTextStore::writeProvider(TranscriptionProvider::mistral));
    EXPECT_EQ(readFile(PlainTextStore::providerURL()), QByteArray("mistral"));
}

TEST(PlainTextStore, LanguagePreferenceIsRemovedWhenNothingIsChosen) {
    EXPECT_EQ(PlainTextStore::readLanguage(), std::nullopt);
    ASSERT_TRUE(PlainTextStore::writeLanguage(
        LanguageOptions::resolve(QStringLiteral("Custom"), QStringLiteral(" de "))));
    EXPECT_EQ(readFile(PlainTextStore::languageURL()), QByteArray("de"));
    EXPECT_EQ(PlainTextStore::readLanguage(), QStringLiteral("de"));
    ASSERT_TRUE(PlainTextStore::writeLanguage(LanguageOptions::resolve(QStringLiteral("Auto"), QString())));
    EXPECT_FALSE(QFileInfo::exists(PlainTextStore::languageURL()));
    ASSERT_TRUE(PlainTextStore::writeLanguage(QStringLiteral("english")));
    ASSERT_TRUE(PlainTextStore::writeLanguage(QStringLiteral("  ")));
    EXPECT_FALSE(QFileInfo::exists(PlainTextStore::languageURL()));
}

TEST(LanguageOptions, ResolvesChoicesAndShowsStoredValues) {
    const auto& entries = LanguageOptions::entries();
    ASSERT_EQ(entries.size(), 24);
    EXPECT_EQ(entries.first().value, QStringLiteral("Auto"));
    EXPECT_EQ(entries.last().value, QStringLiteral("Custom"));

    EXPECT_EQ(LanguageOptions::resolve(QStringLiteral("Auto"), QStringLiteral("fr")), std::nullopt);
    EXPECT_EQ(LanguageOptions::resolve(QStringLiteral("Custom"), QStringLiteral(" de\n")),
              QStringLiteral("de"));
    EXPECT_EQ(LanguageOptions::resolve(QStringLiteral("Custom"), QStringLiteral("  ")), std::nullopt);
    EXPECT_EQ(LanguageOptions::resolve(QStringLiteral("english"), QStringLiteral("de")),
              QStringLiteral("english"));

    EXPECT_TRUE(LanguageOptions::isKnownLanguage(QStringLiteral("english")));
    EXPECT_FALSE(LanguageOptions::isKnownLanguage(QStringLiteral("English")));
    EXPECT_FALSE(LanguageOptions::isKnownLanguage(QStringLiteral("Custom")));

    using S = LanguageOptions::Selection;
    EXPECT_EQ(LanguageOptions::selectionFor(QStringLiteral("english")),
              (S{QStringLiteral("english"), QString()}));
    EXPECT_EQ(LanguageOptions::selectionFor(QStringLiteral("de")),
              (S{QStringLiteral("Custom"), QStringLiteral("de")}));
    EXPECT_EQ(LanguageOptions::selectionFor(QStringLiteral("Auto")),
              (S{QStringLiteral("Custom"), QStringLiteral("Auto")}));
    EXPECT_EQ(LanguageOptions::selectionFor(std::nullopt), (S{QStringLiteral("Auto"), QString()}));
    EXPECT_EQ(LanguageOptions::selectionFor(QString()), (S{QStringLiteral("Auto"), QString()}));
}

TEST(PipelineError, DescribesItselfWithTheWrappedError) {
    const PipelineError noAudio = PipelineError::transcriptionFailed(PipelineError::noAudioData());
    EXPECT_EQ(noAudio.description(), QStringLiteral("Transcription failed: No audio data to transcribe."));

    const PipelineError recording =
        PipelineError::recordingFailed(SystemError(QStringLiteral("Failed to start audio engine")));
    EXPECT_EQ(recording.description(),
              QStringLiteral("Failed to start microphone input: Failed to start audio engine"));

    EXPECT_EQ(PipelineError::microphonePermissionDenied().description(),
              QStringLiteral("Microphone permission is not granted."));
    EXPECT_EQ(PipelineError::pendingAudioEmpty().description(),
              QStringLiteral("Pending audio was empty. Please record again."));
    EXPECT_EQ(PipelineError::pendingAudioUnreadable().description(),
              QStringLiteral("Pending audio was unreadable. Please record again."));
}
