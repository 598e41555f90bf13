#pragma once

#include <QColor>
#include <QIcon>
#include <QImage>
#include <QString>

#include <optional>

namespace murmurly {

// The tray icon's picture. A custom image shipped as the resource "toolbaricon" (PNG) wins and is
// used whatever the state. Without one, the icon theme's symbolic icons of ours are used (the
// package installs them into hicolor, and a theme may restyle them); where the theme has none, a
// waveform in a circle is drawn. Either way it is outlined while idle and filled while recording.
//
// Like a template image, the custom picture is used as a mask only: its shape is painted in the
// tray's foreground colour, so one monochrome PNG suits light and dark panels alike.
class MenuBarIcon {
public:
    static constexpr const char* defaultResource = ":/toolbaricon.png";
    static constexpr const char* idleThemeIcon = "com.murmurly.Murmurly-symbolic";
    static constexpr const char* recordingThemeIcon = "com.murmurly.Murmurly-recording-symbolic";
    static constexpr const char* applicationThemeIcon = "com.murmurly.Murmurly";

    // Loads `resource` once, here; an absent or unreadable file leaves the image absent for good.
    explicit MenuBarIcon(const QString& resource = QString::fromLatin1(defaultResource));

    // The process-wide icon, loaded on first use from the application's resources.
    static const MenuBarIcon& shared();

    const std::optional<QImage>& image() const { return m_image; }

    // What the tray shows for the given state.
    QIcon icon(bool recording) const;

    // The windows' icon: the installed application icon, or the drawn filled symbol.
    static QIcon applicationIcon();

    // The drawn symbols, at one square size in device pixels.
    static QImage drawSymbol(bool filled, int size, const QColor& colour = foreground());
    // The colour the icon is painted in: light, as most Linux panels are dark; the drawn symbols
    // carry a faint dark rim so that they stay visible on light panels too.
    static QColor foreground();

private:
    std::optional<QImage> m_image;
};

} // namespace murmurly
