#include "audio/PulseAudioInput.h"

#include "audio/SoundServerProbe.h"
#include "audio/pulse/PulseCapture.h"
#include "common/Error.h"

#include <QLoggingCategory>

#include <chrono>

namespace murmurly {

namespace {

Q_LOGGING_CATEGORY(lcMicInput, "com.murmurly.app.PulseAudioInput")

// Longer than the capture's own set-up time-out, so a slow server ends in its clear reason.
constexpr auto kStartTimeout = std::chrono::seconds(8);

} // namespace

PulseAudioInput::PulseAudioInput() {
    try {
        m_capture = std::make_unique<PulseCapture>(PulseCapture::Device::DefaultSource,
                                                   QByteArrayLiteral("MicrophoneTap"));
    } catch (const Error& error) {
        // Without its thread the input cannot capture; start() says so, construction must not fail.
        m_captureError = error.description();
        qCWarning(lcMicInput, "Microphone capture is unavailable: %s", qUtf8Printable(m_captureError));
        return;
    }
    m_capture->setEventCallback([this](PulseCapture::Event event, const QString& message) {
        switch (event) {
        case PulseCapture::Event::Started:
        case PulseCapture::Event::Failed: {
            std::lock_guard lock(m_mutex);
            m_started = event == PulseCapture::Event::Started;
            m_startMessage = message;
            m_outcomeArrived.notify_all();
            break;
        }
        case PulseCapture::Event::Interrupted:
            qCWarning(lcMicInput, "Microphone lost: %s", qUtf8Printable(message));
            if (onInterruption)
                onInterruption(true, message);
            break;
        case PulseCapture::Event::Resumed:
            qCInfo(lcMicInput, "Microphone resumed on %s", qUtf8Printable(message));
            if (onInterruption)
                onInterruption(false, message);
            break;
        }
    });
}

PulseAudioInput::~PulseAudioInput() {
    if (m_capture)
        m_capture->stop();
}

AudioFormat PulseAudioInput::inputFormat() {
    if (!m_format) {
        const SoundServerInfo info = SoundServerProbe::probe();
        m_format = info.hasCaptureSource() ? info.defaultSourceFormat : AudioFormat{};
        m_formatError =
            info.isReachable() ? QStringLiteral("The sound server has no input device") : info.error;
        // A desktop without a microphone often offers the output's monitor as its default input.
        // The system-audio source records that already; taking it here too would record it twice.
        m_inputIsOutputMonitor = info.hasCaptureSource() && info.defaultSourceName == info.defaultSinkMonitor;
    }
    return *m_format;
}

void PulseAudioInput::installTap(std::uint32_t bufferSize, TapBlock block) {
    m_framesPerBlock = bufferSize > 0 ? bufferSize : 4096;
    if (m_capture)
        m_capture->setBlockCallback(std::move(block));
}

void PulseAudioInput::removeTap() {
    if (m_capture)
        m_capture->setBlockCallback(nullptr);
}

void PulseAudioInput::start() {
    if (!m_capture)
        throw SystemError(QStringLiteral("Microphone unavailable: ") + m_captureError);
    if (m_capture->isCapturing())
        return;
    const AudioFormat format = inputFormat();
    if (!format.isValid()) {
        m_format.reset();
        throw SystemError(QStringLiteral("Microphone unavailable: ") + m_formatError);
    }
    if (m_inputIsOutputMonitor) {
        qCInfo(lcMicInput, "The default input is the monitor of the default output; the microphone "
                           "adds nothing, so that system audio is not recorded twice");
        return;
    }
    {
        std::lock_guard lock(m_mutex);
        m_started.reset();
    }
    m_capture->start(format, m_framesPerBlock);
    std::unique_lock lock(m_mutex);
    if (!m_outcomeArrived.wait_for(lock, kStartTimeout, [this] { return m_started.has_value(); })) {
        lock.unlock();
        m_capture->stop();
        throw SystemError(QStringLiteral("Microphone unavailable: the sound server did not answer"));
    }
    if (!*m_started) {
        const QString error = m_startMessage;
        lock.unlock();
        m_capture->stop();
        m_format.reset();
        throw SystemError(QStringLiteral("Microphone unavailable: ") + error);
    }
}

void PulseAudioInput::stop() {
    if (m_capture)
        m_capture->stop();
    // The next session asks for the default source's format again: the user may have switched.
    m_format.reset();
    m_inputIsOutputMonitor = false;
}

} // namespace murmurly
