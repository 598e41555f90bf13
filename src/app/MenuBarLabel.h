#pragma once

#include <QObject>
#include <QString>

class QSystemTrayIcon;

namespace murmurly {

class MenuBarIcon;
class TranscriptionPipeline;

// Keeps the tray icon in step with the pipeline: the picture (recording or not), a tooltip with
// the status and the start of the transcript, and a notification when a transcription run ends.
class MenuBarLabel : public QObject {
    Q_OBJECT
public:
    MenuBarLabel(TranscriptionPipeline& pipeline, QSystemTrayIcon& tray, const MenuBarIcon& icon,
                 QObject* parent = nullptr);

    // Whether the icon on show is the recording one (always false with a custom image, which
    // does not change with the state).
    bool showsRecording() const { return m_showsRecording; }

    // The tooltip text for a state: the menu's status line, then the transcript's first lines.
    static QString toolTip(const QString& status, const QString& transcript);

signals:
    // A run ended and a notification was shown (also emitted where the desktop shows none).
    void notified(const QString& title, const QString& message);

private:
    void updateIcon();
    void updateToolTip();
    void transcribingChanged();
    void notifyIfRunEnded();

    TranscriptionPipeline& m_pipeline;
    QSystemTrayIcon& m_tray;
    const MenuBarIcon& m_icon;
    bool m_showsRecording = false;
    bool m_iconSet = false;
    bool m_wasTranscribing = false;
};

} // namespace murmurly
