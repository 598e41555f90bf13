#pragma once

#include <QAbstractButton>
#include <QString>

namespace murmurly {

// One permission row, the whole row a single flat button (also once granted, so the user can ask
// again): the symbol in a 44-pixel disc (green when granted), the title over a dimmer subtitle, and
// at the end a green check when granted or a chevron when not. `clicked` is its action.
class PermissionButton : public QAbstractButton {
    Q_OBJECT
public:
    PermissionButton(const QString& title, const QString& systemImage, QWidget* parent = nullptr);

    QString title() const { return m_title; }
    QString subtitle() const { return m_subtitle; }
    void setSubtitle(const QString& subtitle);
    QString systemImage() const { return m_systemImage; }
    bool isGranted() const { return m_isGranted; }
    void setGranted(bool granted);

    // The symbol at the end of the row and its colour.
    QString trailingSymbol() const;
    QColor trailingColour() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString m_title;
    QString m_subtitle;
    QString m_systemImage;
    bool m_isGranted = false;
};

} // namespace murmurly
