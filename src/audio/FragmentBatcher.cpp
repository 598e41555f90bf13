#include "audio/FragmentBatcher.h"

#include <cmath>
#include <cstring>
#include <utility>

namespace murmurly {

namespace {

std::size_t bytesPerBlockFrame(const AudioFormat& format) {
    return std::size_t{format.interleaved ? format.channelCount : 1u} * format.bytesPerSample();
}

} // namespace

void FragmentBatcher::add(const PcmBuffer& fragment, const HandOver& handOver) {
    const std::uint32_t frames = fragment.frameLength();
    if (frames == 0)
        return;
    const AudioFormat& format = fragment.format();
    if (m_block && (m_block->format() != format ||
                    m_block->frameLength() + std::uint64_t{frames} > m_block->frameCapacity()))
        handOver(std::move(*take()));
    const auto blockFrames = static_cast<std::uint32_t>(std::ceil(format.sampleRate * m_blockSeconds));
    if (!m_block) {
        // Room for a whole block plus one fragment, so that a block is never split mid-fragment.
        m_block = PcmBuffer::create(format, blockFrames + frames);
        if (!m_block) {
            // No room for a block (or an unusable format): the fragment goes on by itself.
            handOver(PcmBuffer(fragment));
            return;
        }
    }
    const std::size_t stride = bytesPerBlockFrame(format);
    const std::size_t offset = std::size_t{m_block->frameLength()} * stride;
    for (int index = 0; index < fragment.bufferCount(); ++index)
        std::memcpy(m_block->bufferData(index) + offset, fragment.bufferData(index),
                    std::size_t{frames} * stride);
    m_block->setFrameLength(m_block->frameLength() + frames);
    if (m_block->frameLength() >= blockFrames)
        handOver(std::move(*take()));
}

std::optional<PcmBuffer> FragmentBatcher::take() {
    return std::exchange(m_block, std::nullopt);
}

} // namespace murmurly
