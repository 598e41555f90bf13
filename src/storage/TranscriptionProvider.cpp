#include "storage/TranscriptionProvider.h"

namespace murmurly {

QString TranscriptionProvider::rawValue() const {
    switch (m_value) {
    case lemonfox:
        return QStringLiteral("lemonfox");
    case mistral:
        return QStringLiteral("mistral");
    }
    return QStringLiteral("lemonfox");
}

std::optional<TranscriptionProvider> TranscriptionProvider::fromRawValue(const QString& raw) {
    for (TranscriptionProvider provider : allCases())
        if (provider.rawValue() == raw)
            return provider;
    return std::nullopt;
}

} // namespace murmurly
