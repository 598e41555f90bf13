#pragma once

#include "audio/AudioFormat.h"
#include "audio/PcmBuffer.h"

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <functional>

struct pa_context;
struct pa_stream;

namespace murmurly {

// A record stream on one source of a connected PulseContext, delivering float32 blocks as the
// server sends them: small fragments (about 50 ms), at most `framesPerBlock` frames each. Audio the
// server lost to an overrun arrives as silence of the same length. The server converts whatever the source
// produces to the requested format, so the blocks keep one format for the stream's life, also when the stream
// is moved to another device.
//
// Every member function must be called with the loop's lock held. Callbacks run on the loop thread;
// onReady/onFailed are the last thing their trampoline does (the owner may destroy the stream in
// them), onBlock must not destroy the stream.
class PulseRecordStream {
public:
    // A block; the buffer is reused for the next block and valid only during the call.
    std::function<void(const PcmBuffer& block)> onBlock;
    std::function<void()> onReady;
    std::function<void(const QString& error)> onFailed;
    // The server moved the stream to another source on its own (the default source changed, or
    // the device went away); the argument is the new source's name.
    std::function<void(const QByteArray& sourceName)> onMoved;

    // `format` must be Float32 and valid. Throws SystemError when the stream cannot be created.
    PulseRecordStream(pa_context* context, const AudioFormat& format, std::uint32_t framesPerBlock);
    // Disconnects without calling any callback (drain() first to keep what was captured).
    ~PulseRecordStream();
    PulseRecordStream(const PulseRecordStream&) = delete;
    PulseRecordStream& operator=(const PulseRecordStream&) = delete;

    // Starts recording from the named source; false with the reason when that cannot begin.
    bool connect(const QByteArray& sourceName, QString* error);
    // The server's index of this stream (its source output), for moving it to another source.
    std::uint32_t index() const;
    // Hands over (through onBlock) everything the server has already sent; for a stop that loses
    // nothing but what is still on its way.
    void drain();
    const AudioFormat& format() const { return m_block.format(); }

private:
    static void stateCallback(pa_stream* stream, void* userdata);
    static void readCallback(pa_stream* stream, std::size_t bytes, void* userdata);
    static void movedCallback(pa_stream* stream, void* userdata);
    void readAvailable();
    // `data` null: that many bytes of silence.
    void append(const std::byte* data, std::size_t bytes);
    void deliver();
    void release();
    QString lastError() const;

    pa_stream* m_stream = nullptr;
    pa_context* m_context = nullptr;
    // Filled across reads and handed on when full: the one copy each sample makes here.
    PcmBuffer m_block;
    std::size_t m_filledBytes = 0;
};

} // namespace murmurly
