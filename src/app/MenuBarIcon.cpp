#include "app/MenuBarIcon.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

#include <array>

namespace murmurly {

namespace {

// Sizes a tray asks for on the common desktops (16 on X11 trays, 22/24 on KDE and the GNOME
// extension, larger on high-density screens).
constexpr std::array<int, 6> iconSizes{16, 22, 24, 32, 48, 64};

// Relative bar heights of the waveform, left to right; small icons get three bars, which stay
// crisp at 16 pixels where five would blur into a grey block.
constexpr std::array<qreal, 5> fiveBars{0.36, 0.68, 1.0, 0.68, 0.36};
constexpr std::array<qreal, 3> threeBars{0.5, 1.0, 0.5};

QPainterPath waveform(qreal size) {
    const bool small = size <= 22;
    const qreal* heights = small ? threeBars.data() : fiveBars.data();
    const std::size_t count = small ? threeBars.size() : fiveBars.size();
    QPainterPath bars;
    const qreal span = size * 0.54; // the waveform's width and its tallest bar
    const qreal pitch = span / qreal(count);
    const qreal barWidth = pitch * 0.62;
    const qreal left = (size - span) / 2.0 + (pitch - barWidth) / 2.0;
    for (std::size_t i = 0; i < count; ++i) {
        const qreal height = span * heights[i];
        bars.addRoundedRect(QRectF(left + qreal(i) * pitch, (size - height) / 2.0, barWidth, height),
                            barWidth / 2.0, barWidth / 2.0);
    }
    return bars;
}

QImage tinted(const QImage& mask, const QColor& colour, int size) {
    QImage out(size, size, QImage::Format_ARGB32_Premultiplied);
    out.fill(Qt::transparent);
    QPainter p(&out);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    // Fill the 18-point frame: scaled to the whole square, as the symbol would be.
    p.drawImage(QRectF(0, 0, size, size), mask.convertToFormat(QImage::Format_ARGB32_Premultiplied));
    p.setCompositionMode(QPainter::CompositionMode_SourceIn);
    p.fillRect(out.rect(), colour);
    return out;
}

} // namespace

MenuBarIcon::MenuBarIcon(const QString& resource) {
    QImage image(resource);
    if (!image.isNull())
        m_image = std::move(image);
}

const MenuBarIcon& MenuBarIcon::shared() {
    static const MenuBarIcon icon;
    return icon;
}

QColor MenuBarIcon::foreground() {
    return QColor(236, 238, 242);
}

QImage MenuBarIcon::drawSymbol(bool filled, int size, const QColor& colour) {
    QImage out(size, size, QImage::Format_ARGB32_Premultiplied);
    out.fill(Qt::transparent);
    QPainter p(&out);
    p.setRenderHint(QPainter::Antialiasing);

    const qreal s = size;
    const qreal stroke = std::max<qreal>(1.25, s / 12.0);
    const qreal halo = std::max<qreal>(1.0, s / 24.0);
    const qreal inset = stroke / 2.0 + halo;
    const QRectF circle(inset, inset, s - 2 * inset, s - 2 * inset);
    // A faint dark edge around every shape, painted first and covered by the shape itself, keeps
    // the light symbol readable on a light panel.
    const QPen rim(QColor(0, 0, 0, 130), 2 * halo, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    const QPainterPath bars = waveform(s);

    if (filled) {
        QPainterPath disc;
        disc.addEllipse(circle.adjusted(-stroke / 2, -stroke / 2, stroke / 2, stroke / 2));
        p.strokePath(disc, rim);
        p.fillPath(disc, colour);
        // The waveform is cut out of the disc, so the panel shows through it.
        p.setCompositionMode(QPainter::CompositionMode_DestinationOut);
        p.fillPath(bars, Qt::black);
        p.setCompositionMode(QPainter::CompositionMode_SourceOver);
        p.strokePath(bars, QPen(rim.color(), halo));
    } else {
        QPainterPath ring;
        ring.addEllipse(circle);
        p.strokePath(ring, QPen(rim.color(), stroke + 2 * halo));
        p.strokePath(ring, QPen(colour, stroke));
        p.strokePath(bars, rim);
        p.fillPath(bars, colour);
    }
    return out;
}

QIcon MenuBarIcon::icon(bool recording) const {
    const QString themed = QLatin1String(recording ? recordingThemeIcon : idleThemeIcon);
    if (!m_image && QIcon::hasThemeIcon(themed))
        return QIcon::fromTheme(themed);
    QIcon icon;
    for (int size : iconSizes) {
        const QImage picture =
            m_image ? tinted(*m_image, foreground(), size) : drawSymbol(recording, size, foreground());
        icon.addPixmap(QPixmap::fromImage(picture));
    }
    return icon;
}

QIcon MenuBarIcon::applicationIcon() {
    const QString themed = QLatin1String(applicationThemeIcon);
    if (QIcon::hasThemeIcon(themed))
        return QIcon::fromTheme(themed);
    QIcon icon;
    for (int size : {16, 32, 48, 64, 128, 256})
        icon.addPixmap(QPixmap::fromImage(drawSymbol(true, size, foreground())));
    return icon;
}

} // namespace murmurly
