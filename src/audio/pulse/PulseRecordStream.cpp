#include "audio/pulse/PulseRecordStream.h"

#include "common/Error.h"

#include <pulse/context.h>
#include <pulse/error.h>
#include <pulse/proplist.h>
#include <pulse/stream.h>

#include <algorithm>
#include <cstring>

namespace murmurly {

namespace {

constexpr double kFragmentMilliseconds = 50.0;

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
    // When the device has more channels than we ask for, PulseAudio averages them; PipeWire adds
    // them up (3 dB louder for a stereo sound) unless its channel mixer is told to normalize.
    // Both must read the same, for the level and for the mix. PulseAudio ignores the property.
    pa_proplist* properties = pa_proplist_new();
    pa_proplist_sets(properties, "channelmix.normalize", "true");
    m_stream = pa_stream_new_with_proplist(context, "Murmurly capture", &sampleSpec, nullptr, properties);
    pa_proplist_free(properties);
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
    // Small fragments: what the server holds at any moment, and so what a stop can lose, is one
    // fragment; the two sources also reach the mixer in steps this small, which keeps them aligned.
    // Every fragment wakes this thread, and on a desktop the wake-ups are what recording costs, so
    // they are no smaller than the alignment needs (docs/recording.md has the arithmetic).
    const std::size_t frameBytes = m_block.bufferByteCapacity() / m_block.frameCapacity();
    const auto fragmentFrames = static_cast<std::size_t>(format().sampleRate * kFragmentMilliseconds / 1000);
    pa_buffer_attr attr;
    attr.maxlength = static_cast<std::uint32_t>(-1);
    attr.tlength = static_cast<std::uint32_t>(-1);
    attr.prebuf = static_cast<std::uint32_t>(-1);
    attr.minreq = static_cast<std::uint32_t>(-1);
    attr.fragsize = static_cast<std::uint32_t>(
        std::min(fragmentFrames, std::size_t{m_block.frameCapacity()}) * frameBytes);
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
    if (self->m_stream == stream)
        self->readAvailable();
}

void PulseRecordStream::drain() {
    if (m_stream && pa_stream_get_state(m_stream) == PA_STREAM_READY)
        readAvailable();
}

void PulseRecordStream::readAvailable() {
    pa_stream* stream = m_stream;
    // Peeked until there is nothing more: every libpulse call costs a system call here (its fork
    // check), and asking for the readable size first would double them.
    while (m_stream == stream) {
        const void* data = nullptr;
        std::size_t bytes = 0;
        if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0)
            break;
        // A hole (audio lost to an overrun) comes as a length without data. It becomes silence
        // of that length, so that what follows stays at its moment in time.
        append(static_cast<const std::byte*>(data), bytes);
        pa_stream_drop(stream);
    }
    deliver();
}

void PulseRecordStream::append(const std::byte* data, std::size_t bytes) {
    const std::size_t capacity = m_block.bufferByteCapacity();
    while (bytes > 0) {
        const std::size_t take = std::min(bytes, capacity - m_filledBytes);
        if (data) {
            std::memcpy(m_block.bufferData(0) + m_filledBytes, data, take);
            data += take;
        } else {
            std::memset(m_block.bufferData(0) + m_filledBytes, 0, take);
        }
        m_filledBytes += take;
        bytes -= take;
        if (m_filledBytes == capacity)
            deliver();
    }
}

void PulseRecordStream::deliver() {
    const std::size_t frameBytes = m_block.bufferByteCapacity() / m_block.frameCapacity();
    const auto frames = static_cast<std::uint32_t>(m_filledBytes / frameBytes);
    if (frames == 0)
        return;
    // A torn frame cannot come from the server (it reads whole frames); keep it simple regardless.
    m_filledBytes = 0;
    m_block.setFrameLength(frames);
    if (onBlock)
        onBlock(m_block);
}

} // namespace murmurly
