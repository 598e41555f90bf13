#pragma once

#include <QAbstractButton>
#include <QString>

class QVariantAnimation;

namespace murmurly {

// The round icon buttons of the top bar (History, Settings): a white symbol on a translucent disc
// with a faint outline. Pressing fades the button to 60 % and shrinks it to 95 %, eased over 0.1 s.
class SettingsButtonStyle : public QAbstractButton {
    Q_OBJECT
public:
    static constexpr int diameter = 30;

    explicit SettingsButtonStyle(const QString& systemImage, QWidget* parent = nullptr);

    QString systemImage() const { return m_systemImage; }
    void setSystemImage(const QString& systemImage);

    // 0 at rest, 1 fully pressed; in between while the press animates.
    qreal pressProgress() const { return m_pressProgress; }

    QSize sizeHint() const override { return {diameter, diameter}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void animatePress(bool down);

    QString m_systemImage;
    qreal m_pressProgress = 0;
    QVariantAnimation* m_press = nullptr;
};

} // namespace murmurly
