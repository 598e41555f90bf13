#pragma once

#include "audio/PcmBuffer.h"

#include <cstdint>
#include <functional>
#include <optional>

namespace murmurly {

// Gathers a capture source's small fragments (about 30 ms each) into blocks of about a tenth of a
// second, so that the recorder's worker is woken once per block rather than once per fragment.
// A block is handed on as soon as it holds that much, when a fragment of another format arrives
// (the held block goes first), and by take() at the end of a session. Not thread-safe: one thread
// feeds it at a time.
class FragmentBatcher {
public:
    using HandOver = std::function<void(PcmBuffer&& block)>;

    explicit FragmentBatcher(double blockSeconds = 0.1)
        : m_blockSeconds(blockSeconds) {}

    // Copies the fragment in; calls `handOver` for every block that is complete.
    void add(const PcmBuffer& fragment, const HandOver& handOver);
    // The partial block held, if any; the batcher is empty afterwards.
    std::optional<PcmBuffer> take();
    void clear() { m_block.reset(); }

private:
    double m_blockSeconds;
    std::optional<PcmBuffer> m_block;
};

} // namespace murmurly
