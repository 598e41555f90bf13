#include "audio/SystemAudioMonitor.h"

#include "audio/AudioLevelComputer.h"
#include "audio/SoundServerProbe.h"
#include "audio/pulse/PulseCapture.h"
#include "audio/pulse/SoundSettings.h"
#include "common/Error.h"

#include <QCoreApplication>
#include <QLoggingCategory>

#include <algorithm>

namespace murmurly {

namespace {

Q_LOGGING_CATEGORY(lcMonitor, "com.murmurly.app.SystemAudioMonitor")

} // namespace

SystemAudioMonitor::SystemAudioMonitor(QObject* parent)
    : QObject(parent) {
    // A coarse timer of this interval fires on 100 ms boundaries, together with the other meter
    // timers of the program: one wake-up for all of them.
    m_levelTimer.setInterval(kLevelMilliseconds);
    m_levelTimer.setTimerType(Qt::CoarseTimer);
    connect(&m_levelTimer, &QTimer::timeout, this, &SystemAudioMonitor::publishLevel);
    SoundServerProbe::probeInBackground(this,
                                        [this, version = m_permissionVersion](const SoundServerInfo& info) {
                                            // A value written meanwhile (the application's own refresh) is
                                            // newer than this answer.
                                            if (m_permissionVersion == version)
                                                setPermissionGranted(grantsPermission(info));
                                        });
    try {
        // The capture thread is the sample queue: it already is one serial thread per monitor, and
        // handing each block to yet another thread would cost a second copy and an allocation per
        // block for nothing (the recorder copies the buffer onto its own queue anyway).
        m_capture = std::make_unique<PulseCapture>(PulseCapture::Device::DefaultSinkMonitor,
                                                   QByteArrayLiteral("SystemAudioSampleQueue"));
        m_capture->setBlockCallback([this](const PcmBuffer& block) { handleBlock(block); });
        m_capture->setEventCallback([this](PulseCapture::Event event, const QString& message) {
            const std::uint64_t generation = m_generation.load();
            QMetaObject::invokeMethod(
                this,
                [this, event, message, generation] {
                    handleCaptureEvent(static_cast<int>(event), message, generation);
                },
                Qt::QueuedConnection);
        });
    } catch (const Error& error) {
        m_captureError = error.description();
        qCWarning(lcMonitor, "System audio capture is unavailable: %s", qUtf8Printable(m_captureError));
    }
}

SystemAudioMonitor::~SystemAudioMonitor() {
    if (m_capture)
        m_capture->stop();
}

bool SystemAudioMonitor::grantsPermission(const SoundServerInfo& info) {
    return info.hasSinkMonitor();
}

void SystemAudioMonitor::setPermissionGranted(bool granted) {
    ++m_permissionVersion;
    if (m_permissionGranted == granted)
        return;
    m_permissionGranted = granted;
    emit permissionGrantedChanged(granted);
}

void SystemAudioMonitor::requestPermission() {
    SoundServerProbe::probeInBackground(this, [this](const SoundServerInfo& info) {
        const bool granted = grantsPermission(info);
        setPermissionGranted(granted);
        setStatus(granted ? QStringLiteral("Permission granted") : QStringLiteral("Permission denied"));
    });
}

void SystemAudioMonitor::openScreenRecordingSettings() {
    SoundSettings::open();
}

void SystemAudioMonitor::start() {
    if (!m_permissionGranted) {
        setStatus(QStringLiteral("Screen recording permission is not granted"));
        return;
    }
    if (m_isMonitoring)
        return;
    setMonitoring(true);
    setStatus(QStringLiteral("Monitoring..."));
    const std::uint64_t generation = ++m_generation;
    if (!m_capture) {
        QMetaObject::invokeMethod(
            this,
            [this, generation] {
                handleCaptureEvent(static_cast<int>(PulseCapture::Event::Failed), m_captureError, generation);
            },
            Qt::QueuedConnection);
        return;
    }
    m_levelMeter.reset(); // the capture thread is idle until this start
    m_newLevel.store(-1.0f);
    m_levelTimer.start();
    m_capture->start({kSampleRate, 1, SampleType::Float32, false}, kFramesPerBlock);
}

void SystemAudioMonitor::stop() {
    if (!m_isMonitoring)
        return;
    // Stopping the capture only queues a message to the server, so it is done right here; the
    // setup of a start that has not finished yet is cancelled with it and leaves no stream behind.
    if (m_capture)
        m_capture->stop();
    ++m_generation;
    m_levelTimer.stop();
    setMonitoring(false);
    setLevel(0);
    setStatus(QStringLiteral("Stopped"));
}

void SystemAudioMonitor::handleBlock(const PcmBuffer& block) {
    float level = 0;
    if (const float* samples = block.floatChannelData(0)) {
        // The count covers every channel of an interleaved block but never runs past the first
        // data block's bytes.
        const std::size_t count = std::min(std::size_t{block.frameLength()} * block.format().channelCount,
                                           block.bufferByteSize() / sizeof(float));
        level = AudioLevelComputer::rmsLevelFromRawFloat(samples, count);
    }
    if (onBuffer)
        onBuffer(block);
    // One level per 4096 frames, left for the level timer: the main thread is not woken for it.
    if (const std::optional<float> combined = m_levelMeter.add(level, block.frameLength()))
        m_newLevel.store(*combined);
}

void SystemAudioMonitor::publishLevel() {
    const float level = m_newLevel.exchange(-1.0f);
    if (level < 0 || !m_isMonitoring)
        return;
    setLevel(level);
    if (onLevel)
        onLevel(level);
}

void SystemAudioMonitor::handleCaptureEvent(int event, const QString& message, std::uint64_t generation) {
    if (generation != m_generation.load() || !m_isMonitoring)
        return;
    switch (static_cast<PulseCapture::Event>(event)) {
    case PulseCapture::Event::Started:
        qCInfo(lcMonitor, "Monitoring %s", qUtf8Printable(message));
        break;
    case PulseCapture::Event::Failed:
        qCWarning(lcMonitor, "Failed to start: %s", qUtf8Printable(message));
        if (m_capture)
            m_capture->stop();
        ++m_generation;
        m_levelTimer.stop();
        setMonitoring(false);
        setLevel(0);
        setStatus(QStringLiteral("Failed to start: ") + message);
        break;
    case PulseCapture::Event::Interrupted:
        // The user asked for capture and still wants it: it stays on and resumes by itself.
        qCWarning(lcMonitor, "Sound server lost: %s", qUtf8Printable(message));
        setLevel(0);
        setStatus(QStringLiteral("Sound server connection lost: ") + message +
                  QStringLiteral(". Reconnecting..."));
        break;
    case PulseCapture::Event::Resumed:
        qCInfo(lcMonitor, "Monitoring resumed on %s", qUtf8Printable(message));
        setStatus(QStringLiteral("Monitoring..."));
        break;
    }
}

void SystemAudioMonitor::setMonitoring(bool monitoring) {
    if (m_isMonitoring == monitoring)
        return;
    m_isMonitoring = monitoring;
    emit isMonitoringChanged(monitoring);
}

void SystemAudioMonitor::setLevel(float level) {
    if (m_level == level)
        return;
    m_level = level;
    emit levelChanged(level);
}

void SystemAudioMonitor::setStatus(const QString& status) {
    if (m_status == status && !m_status.isNull())
        return;
    m_status = status;
    emit statusChanged(status);
}

} // namespace murmurly
