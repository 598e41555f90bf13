#include "audio/pulse/PulseRecordStream.h"

#include "common/Error.h"

#include <pulse/context.h>
#include <pulse/error.h>
#include <pulse/stream.h>

#include <algorithm>
#include <cstring>

namespace murmurly {

namespace {

PcmBuffer makeBlock(const AudioFormat& format, std::uint32_t frames) {
    AudioFormat layout = format;
    // libpulse delivers frames interleaved; a mono buffer is the same either way and is marked
    // non-interleaved like every other mono buffer of the system.
    layout.interleaved = format.channelCount > 1;
    auto block = PcmBuffer::create(layout, frames);
    if (!block || format.sampleType != SampleType::Float32 || frames == 0)
        throw SystemError(QStringLiteral("Unsupported capture format"));
    return *block;
}

} // namespace

PulseRecordStream::PulseRecordStream(pa_context* context, const AudioFormat& format,
                                     std::uint32_t framesPerBlock)
    : m_context(context)
    , m_block(makeBlock(format, framesPerBlock)) {
    pa_sample_spec sampleSpec;
    sampleSpec.format = PA_SAMPLE_FLOAT32LE;
    sampleSpec.rate = static_cast<std::uint32_t>(format.sampleRate);
    sampleSpec.channels = static_cast<std::uint8_t>(format.channelCount);
    if (!pa_sample_spec_valid(&sampleSpec))
        throw SystemError(QStringLiteral("Unsupported capture format"));
    m_stream = pa_stream_new(context, "Murmurly capture", &sampleSpec, nullptr);
    if (!m_stream)
        throw SystemError(QString::fromUtf8(pa_strerror(pa_context_errno(context))));
}

PulseRecordStream::~PulseRecordStream() {
    release();
}

void PulseRecordStream::release() {
    if (!m_stream)
        return;
    pa_stream_set_state_callback(m_stream, nullptr, nullptr);
    pa_stream_set_read_callback(m_stream, nullptr, nullptr);
    pa_stream_set_moved_callback(m_stream, nullptr, nullptr);
    if (pa_stream_get_state(m_stream) == PA_STREAM_READY ||
        pa_stream_get_state(m_stream) == PA_STREAM_CREATING)
        pa_stream_disconnect(m_stream);
    pa_stream_unref(m_stream);
    m_stream = nullptr;
}

bool PulseRecordStream::connect(const QByteArray& sourceName, QString* error) {
    pa_stream_set_state_callback(m_stream, &PulseRecordStream::stateCallback, this);
    pa_stream_set_read_callback(m_stream, &PulseRecordStream::readCallback, this);
    pa_stream_set_moved_callback(m_stream, &PulseRecordStream::movedCallback, this);
    // Fragments of one block: the server wakes us about once per block, not for every few
    // milliseconds of audio, and the latency of a block is all the recorder needs.
    pa_buffer_attr attr;
    attr.maxlength = static_cast<std::uint32_t>(-1);
    attr.tlength = static_cast<std::uint32_t>(-1);
    attr.prebuf = static_cast<std::uint32_t>(-1);
    attr.minreq = static_cast<std::uint32_t>(-1);
    attr.fragsize = static_cast<std::uint32_t>(m_block.bufferByteCapacity());
    if (pa_stream_connect_record(m_stream, sourceName.constData(), &attr, PA_STREAM_ADJUST_LATENCY) < 0) {
        *error = lastError();
        return false;
    }
    return true;
}

std::uint32_t PulseRecordStream::index() const {
    return m_stream ? pa_stream_get_index(m_stream) : PA_INVALID_INDEX;
}

QString PulseRecordStream::lastError() const {
    return QString::fromUtf8(pa_strerror(pa_context_errno(m_context)));
}

void PulseRecordStream::stateCallback(pa_stream* stream, void* userdata) {
    auto* self = static_cast<PulseRecordStream*>(userdata);
    switch (pa_stream_get_state(stream)) {
    case PA_STREAM_READY:
        if (self->onReady)
            self->onReady();
        break;
    case PA_STREAM_FAILED:
    case PA_STREAM_TERMINATED: {
        const QString error = self->lastError();
        self->release();
        // The owner usually destroys this object in onFailed: call a copy, not our own member.
        if (auto failed = self->onFailed)
            failed(error);
        break;
    }
    default:
        break;
    }
}

void PulseRecordStream::movedCallback(pa_stream* stream, void* userdata) {
    auto* self = static_cast<PulseRecordStream*>(userdata);
    const char* name = pa_stream_get_device_name(stream);
    if (name && self->onMoved)
        self->onMoved(QByteArray(name));
}

void PulseRecordStream::readCallback(pa_stream* stream, std::size_t, void* userdata) {
    auto* self = static_cast<PulseRecordStream*>(userdata);
    while (self->m_stream == stream && pa_stream_readable_size(stream) > 0) {
        const void* data = nullptr;
        std::size_t bytes = 0;
        if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0)
            return;
        // A hole (data lost to an overrun) comes as bytes without data; it is dropped, not
        // replaced by silence, like a block the platform never delivered.
        if (data)
            self->append(static_cast<const std::byte*>(data), bytes);
        pa_stream_drop(stream);
    }
}

void PulseRecordStream::append(const std::byte* data, std::size_t bytes) {
    const std::size_t capacity = m_block.bufferByteCapacity();
    while (bytes > 0) {
        const std::size_t take = std::min(bytes, capacity - m_filledBytes);
        std::memcpy(m_block.bufferData(0) + m_filledBytes, data, take);
        m_filledBytes += take;
        data += take;
        bytes -= take;
        if (m_filledBytes == capacity) {
            m_filledBytes = 0;
            m_block.setFrameLength(m_block.frameCapacity());
            if (onBlock)
                onBlock(m_block);
        }
    }
}

} // namespace murmurly
