#pragma once

#include <QString>

#include <array>
#include <cstddef>
#include <optional>

namespace murmurly {

// The transcription service in use. Lemonfox is the default wherever no valid choice is stored.
// Behaves like an enumeration (TranscriptionProvider::mistral, switch, ==) with a raw text value,
// which is what the provider preference file holds.
class TranscriptionProvider {
public:
    enum Value { lemonfox, mistral };

    constexpr TranscriptionProvider(Value value) // NOLINT: implicit, like an enumeration case
        : m_value(value) {}
    constexpr operator Value() const { return m_value; }

    // "lemonfox" or "mistral".
    QString rawValue() const;
    // Exact, case-sensitive: "Mistral" gives none (the preference reader lower-cases first).
    static std::optional<TranscriptionProvider> fromRawValue(const QString& raw);
    static constexpr std::array<TranscriptionProvider, 2> allCases() { return {lemonfox, mistral}; }

private:
    Value m_value;
};

inline std::size_t qHash(TranscriptionProvider provider, std::size_t seed = 0) noexcept {
    return static_cast<std::size_t>(static_cast<TranscriptionProvider::Value>(provider)) ^ seed;
}

} // namespace murmurly
