// Feeds arbitrary bytes to the pending-session decoder: it must not crash, and whatever it accepts
// must come back unchanged through its own encoding.
#include "storage/PendingSession.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const auto decoded = murmurly::PendingSession::decode(bytes);
    if (decoded && murmurly::PendingSession::decode(decoded->encode()) != decoded)
        std::abort();
    return 0;
}
