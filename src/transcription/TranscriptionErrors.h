#pragma once

#include "common/Error.h"

#include <QString>

namespace murmurly {

// The two transcription services; the clients' errors name theirs in their texts.
enum class TranscriptionService { lemonfox, mistral };

// A client failure with a text of its own ("Audio file is empty.", the service's error body, ...).
// Its description is exactly the message.
class ErrorMessage : public ErrorBase<ErrorMessage> {
public:
    explicit ErrorMessage(QString message)
        : m_message(std::move(message)) {}
    const QString& message() const { return m_message; }
    QString description() const override { return m_message; }

private:
    QString m_message;
};

// The two failures without a text of their own: no key, and an answer that is not HTTP (or a WAV
// conversion that cannot even begin). The Mistral texts are what users of that service know; the
// Lemonfox ones follow the same pattern.
class TranscriptionError : public ErrorBase<TranscriptionError> {
public:
    enum class Kind { missingApiKey, invalidResponse };

    TranscriptionError(TranscriptionService service, Kind kind)
        : m_service(service)
        , m_kind(kind) {}

    TranscriptionService service() const { return m_service; }
    Kind kind() const { return m_kind; }

    QString description() const override {
        const bool mistral = m_service == TranscriptionService::mistral;
        if (m_kind == Kind::missingApiKey) {
            return mistral ? QStringLiteral("Missing Mistral API key. Set it in Settings.")
                           : QStringLiteral("Missing Lemonfox API key. Set it in Settings.");
        }
        return mistral ? QStringLiteral("Received an invalid response from Mistral.")
                       : QStringLiteral("Received an invalid response from Lemonfox.");
    }

private:
    TranscriptionService m_service;
    Kind m_kind;
};

// The service's answer did not decode into the expected shape. The wording follows what users see
// from other JSON decoders; the detail goes to the log.
class DecodingError : public ErrorBase<DecodingError> {
public:
    enum class Kind { dataCorrupted, keyNotFound, typeMismatch };

    DecodingError(Kind kind, QString detail)
        : m_kind(kind)
        , m_detail(std::move(detail)) {}

    Kind kind() const { return m_kind; }
    const QString& detail() const { return m_detail; }

    QString description() const override {
        return m_kind == Kind::keyNotFound
                   ? QStringLiteral("The data couldn't be read because it is missing.")
                   : QStringLiteral("The data couldn't be read because it isn't in the correct format.");
    }

private:
    Kind m_kind;
    QString m_detail;
};

} // namespace murmurly
