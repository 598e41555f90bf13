#include "audio/SessionRecorder.h"

#include "audio/AudioLevelComputer.h"
#include "audio/PulseAudioInput.h"
#include "audio/RecorderLog.h"
#include "audio/vad/SileroVADGate.h"

#include <QFileInfo>
#include <QPromise>

#include <algorithm>
#include <limits>
#include <new>
#include <utility>

namespace murmurly {

Q_LOGGING_CATEGORY(lcSessionRecorder, "com.murmurly.app.SessionRecorder")

QString RecorderError::description() const {
    switch (m_kind) {
    case Kind::fileWriteFailed:
        return QStringLiteral("Failed to write to ") + QFileInfo(m_filePath).fileName() +
               QStringLiteral(": ") + (m_underlying ? m_underlying->description() : QString());
    case Kind::failedToStart:
        break;
    }
    return QStringLiteral("Failed to start audio engine");
}

namespace {

constexpr std::uint32_t kTapBufferFrames = 4096;

QFuture<void> finishedFuture() {
    QPromise<void> promise;
    promise.start();
    promise.finish();
    return promise.future();
}

} // namespace

const AudioFormat& SessionRecorder::targetFormat() {
    static const AudioFormat format = AudioFormat::working();
    return format;
}

SessionRecorder::SessionRecorder()
    : SessionRecorder(std::make_unique<PulseAudioInput>(), std::make_unique<SileroVADGate>()) {}

SessionRecorder::SessionRecorder(std::unique_ptr<AudioInput> input,
                                 std::unique_ptr<VoiceActivityDetector> vad)
    : m_input(std::move(input))
    , m_vad(std::move(vad))
    , m_lastStopWork(finishedFuture())
    , m_write([this](const float* samples, std::size_t count) { writeSamples(samples, count); }) {}

SessionRecorder::~SessionRecorder() {
    // The owner is being torn down: its callbacks must not run any more, but a session still open
    // gets its file finished so that nothing released is lost.
    m_callbacksEnabled.store(false, std::memory_order_release);
    if (isRunning())
        stop();
    // m_io, destroyed first, runs whatever is still queued, the stop work included.
}

void SessionRecorder::start(const QString& outputPath) {
    if (isRunning())
        return;
    // The previous session's stop work closes its file and resets the state on the IO queue; it
    // must be done before this session touches either.
    waitForStopWork();

    m_vad->reset();
    m_vad->prepareIfNeeded();

    resetSessionState();
    {
        // The capture threads may still hold the lock for a buffer of no session (ignored).
        std::lock_guard lock(m_mixMutex);
        m_mixer.clear();
        m_micConverter = {};
        m_sysConverter = {};
        m_micBufferCount = 0;
        m_mixing = true;
    }
    if (m_isSilent)
        setSilent(false);

    m_outputFile = AudioFileWriter::create(outputPath, targetFormat()); // throws as the writer does
    m_outputPath = outputPath;
    m_framesAtHeaderUpdate = 0;
    m_writeFailing = false;

    try {
        // The tap's buffers come in the input's own format (each buffer carries it); an invalid
        // one means there is no device to capture from.
        if (!m_input->inputFormat().isValid())
            throw SystemError(QStringLiteral("No audio input"));
        m_micLevel.reset();
        m_input->installTap(kTapBufferFrames, [this](const PcmBuffer& buffer) { handleMicBuffer(buffer); });
        m_input->start();
    } catch (const std::exception&) {
        m_input->removeTap();
        // Back to idle, so that the next start asks the device afresh (it may be back by then).
        m_input->stop();
        {
            std::lock_guard lock(m_mixMutex);
            m_mixing = false;
        }
        m_outputFile.reset(); // the empty file stays on disk
        throw RecorderError::failedToStart();
    }
    m_isRunning.store(true, std::memory_order_release);
}

QFuture<void> SessionRecorder::stop() {
    if (!isRunning())
        return m_lastStopWork;
    m_isRunning.store(false, std::memory_order_release);
    // Stopping first hands over what the sound server had already captured (through the tap,
    // still installed); only then does the tap go.
    m_input->stop();
    m_input->removeTap();
    // The resamplers' last samples, then every full window either source still holds (the other
    // side silent), analysed like any other window; what is left is the tail. A system buffer that
    // comes after this belongs to no session.
    Windows finalWindows;
    WindowMixer::Tail tail;
    {
        std::lock_guard lock(m_mixMutex);
        m_mixing = false;
        const std::vector<float> micRest = flushConverter(m_micConverter);
        const std::vector<float> sysRest = flushConverter(m_sysConverter);
        m_mixer.appendMic(micRest.data(), micRest.size());
        m_mixer.appendSys(sysRest.data(), sysRest.size());
        finalWindows = cutWindowsLocked(true);
        tail = m_mixer.takeTail();
    }

    auto promise = std::make_shared<QPromise<void>>();
    promise->start();
    m_lastStopWork = promise->future();
    m_io.async([this, promise, finalWindows = std::move(finalWindows), tail = std::move(tail)]() mutable {
        stopWork(finalWindows, tail);
        promise->finish();
    });
    return m_lastStopWork;
}

void SessionRecorder::waitForStopWork() {
    m_io.waitUntilIdle();
}

void SessionRecorder::ingestSystemBuffer(const PcmBuffer& buffer) {
    if (!isRunning())
        return;
    mix(true, buffer);
}

void SessionRecorder::handleMicBuffer(const PcmBuffer& buffer) {
    // One level per 4096 frames, whatever the fragment size.
    const std::optional<float> level =
        m_micLevel.add(AudioLevelComputer::rmsLevel(buffer), buffer.frameLength());
    if (level && onLevel && callbacksEnabled())
        onLevel(*level);
    mix(false, buffer);
}

void SessionRecorder::mix(bool isSystem, const PcmBuffer& buffer) {
    const char* source = isSystem ? "System" : "Mic";
    std::unique_lock lock(m_mixMutex);
    if (!m_mixing)
        return;
    std::vector<float> samples;
    try {
        samples = resampleTo16kMono(buffer, isSystem ? m_sysConverter : m_micConverter);
    } catch (const Error& error) {
        lock.unlock();
        qCCritical(lcSessionRecorder, "%s resample failed: %s", source, qUtf8Printable(error.description()));
        return;
    } catch (const std::exception& error) {
        lock.unlock();
        qCCritical(lcSessionRecorder, "%s resample failed: %s", source, error.what());
        return;
    }
    Windows windows;
    const auto micHeld = static_cast<long>(m_mixer.micCount());
    try {
        if (isSystem) {
            m_mixer.appendSys(samples.data(), samples.size());
        } else {
            ++m_micBufferCount;
            m_mixer.appendMic(samples.data(), samples.size());
        }
        windows = cutWindowsLocked(false);
    } catch (const std::bad_alloc&) {
        lock.unlock();
        qCCritical(lcSessionRecorder, "%s buffer dropped: out of memory", source);
        return;
    }
    if (!windows.empty())
        m_io.async([this, windows = std::move(windows)]() mutable { processWindows(windows); });
    const long micBuffer = isSystem ? 0 : m_micBufferCount;
    // Written after the lock is let go: the other capture thread never waits for the log.
    lock.unlock();
    if (micBuffer > 0 && (micBuffer < 6 || micBuffer % 100 == 0))
        qCInfo(lcSessionRecorder, "Mic buf #%ld: resampled %ld samples, micAccum=%ld", micBuffer,
               static_cast<long>(samples.size()), micHeld);
}

SessionRecorder::Windows SessionRecorder::cutWindowsLocked(bool final) {
    Windows windows;
    while (std::optional<std::vector<float>> window =
               final ? m_mixer.nextFinalWindow() : m_mixer.nextWindow())
        windows.push_back(std::move(*window));
    return windows;
}

void SessionRecorder::processWindows(Windows& windows) {
    for (std::vector<float>& window : windows) {
        const VADAnalysisResult result = m_vad->analyze(window.data(), window.size());
        m_vadScore = result.probability;
        if (onVADScoreChange && callbacksEnabled())
            onVADScoreChange(m_vadScore);
        if (result.hasDecision)
            m_speechDetected = result.isSpeech;
        updateSilenceState();
        m_gate.process(std::move(window), result, m_write);
    }
}

void SessionRecorder::updateSilenceState() {
    // Silent only on a decision of no speech; before the first decision nothing is claimed.
    const bool silent = m_speechDetected.has_value() && !*m_speechDetected;
    if (silent != m_isSilent)
        setSilent(silent);
}

void SessionRecorder::setSilent(bool silent) {
    m_isSilent = silent;
    if (onSilenceStateChange && callbacksEnabled())
        onSilenceStateChange(silent);
}

void SessionRecorder::writeSamples(const float* samples, std::size_t count) {
    if (!m_outputFile || count == 0 || count > std::numeric_limits<std::uint32_t>::max())
        return;
    try {
        // libsndfile hands every write straight to the kernel (it keeps no user-space buffer), so
        // a released window survives the process being killed right after this call.
        m_outputFile->write(samples, count);
    } catch (const Error& error) {
        qCCritical(lcSessionRecorder, "Failed to write mixed buffer: %s",
                   qUtf8Printable(error.description()));
        reportWriteFailure(error);
        return;
    }
    if (m_outputFile->framesWritten() - m_framesAtHeaderUpdate >= kHeaderUpdateFrames) {
        m_framesAtHeaderUpdate = m_outputFile->framesWritten();
        try {
            m_outputFile->updateHeader();
        } catch (const Error& error) {
            qCCritical(lcSessionRecorder, "Failed to write mixed buffer: %s",
                       qUtf8Printable(error.description()));
            reportWriteFailure(error);
        }
    }
}

void SessionRecorder::reportWriteFailure(const Error& error) {
    if (std::exchange(m_writeFailing, true))
        return;
    if (onError && callbacksEnabled())
        onError(RecorderError::fileWriteFailed(m_outputPath, error.clone()));
}

void SessionRecorder::stopWork(Windows& finalWindows, WindowMixer::Tail& tail) {
    processWindows(finalWindows);
    // The tails are shorter than a window and never analysed: they go in only if the gate is open.
    m_gate.flush(tail.mixed, tail.solo, m_write);
    if (m_outputFile) {
        try {
            m_outputFile->close(); // completes the header's size fields
        } catch (const Error& error) {
            qCCritical(lcSessionRecorder, "Failed to write mixed buffer: %s",
                       qUtf8Printable(error.description()));
            reportWriteFailure(error);
        }
        m_outputFile.reset();
    }
    m_vad->reset();
    resetSessionState();
    if (onVADScoreChange && callbacksEnabled())
        onVADScoreChange(std::nullopt);
    if (m_isSilent)
        setSilent(false);
}

void SessionRecorder::resetSessionState() {
    m_gate.reset();
    m_speechDetected.reset();
    m_vadScore.reset();
}

} // namespace murmurly
