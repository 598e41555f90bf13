#pragma once

#include "support/ApiKeyReset.h"
#include "support/FakeTranscriptionService.h"
#include "transcription/LemonfoxTranscriber.h"
#include "transcription/MistralTranscriber.h"
#include "transcription/TranscriptionTestSupport.h"

#include <QDir>

#include <gtest/gtest.h>

namespace murmurly::test {

enum class Call { lemonfox, mistralBatch, mistralStream };

// Both fake services on 127.0.0.1, the clients pointed at them, keys in the environment, and an
// input folder outside the temporary folder (whose emptiness the tests check after each call).
class ServiceFixture : public ::testing::Test {
public: // the parameterised cases below set the fixture up through it
    void SetUp() override {
        ASSERT_TRUE(lemonfox.listen());
        ASSERT_TRUE(mistral.listen());
        qputenv("MURMURLY_LEMONFOX_BASE_URL", lemonfox.baseUrl().toString().toUtf8());
        qputenv("MURMURLY_MISTRAL_BASE_URL", mistral.baseUrl().toString().toUtf8());
        qputenv("LEMONFOX_API_KEY", "lf-key");
        qputenv("MISTRAL_API_KEY", "ms-key");
        QDir::home().mkpath(QStringLiteral("input"));
        lemonfoxClient = std::make_unique<LemonfoxTranscriber>();
        mistralClient = std::make_unique<MistralTranscriber>();
    }

    QString input(const QString& name) const {
        return QDir::home().filePath(QStringLiteral("input/") + name);
    }

    // A small file the services take as it is: its bytes go into the body unchanged.
    QString opusInput(const QString& name = QStringLiteral("clip.opus")) const {
        return writeBytes(input(name), QByteArray("OggS-pretend-opus-") + QByteArray(300, '\x07'));
    }

    // A sparse file: only its length matters to the size check.
    QString sparseInput(qint64 size) const {
        QFile file(input(QStringLiteral("big.opus")));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.resize(size));
        return file.fileName();
    }

    // Runs one client call to its end.
    CallOutcome<LemonfoxTranscriptionResponse> call(Call call, const QString& file,
                                                    const std::optional<QString>& language = std::nullopt) {
        if (call == Call::lemonfox)
            return runCall(lemonfoxClient->transcribe(file, language));
        if (call == Call::mistralBatch)
            return runCall(mistralClient->transcribe(file, language));
        return runCall(mistralClient->transcribeStream(file, language, {}));
    }
    FakeTranscriptionService& serviceFor(Call call) { return call == Call::lemonfox ? lemonfox : mistral; }

    FakeTranscriptionService lemonfox{FakeTranscriptionService::Kind::lemonfox};
    FakeTranscriptionService mistral{FakeTranscriptionService::Kind::mistral};
    std::unique_ptr<LemonfoxTranscriber> lemonfoxClient;
    std::unique_ptr<MistralTranscriber> mistralClient;
};

} // namespace murmurly::test
