#pragma once

#include <QColor>
#include <QFont>
#include <QString>

class QPushButton;
class QWidget;

namespace murmurly::DesignSystem {

// The palette of the dark windows. All text is white at some opacity; the accents are the
// desktop-neutral green, yellow and red that the status dot, level bar and banners use.
namespace Colors {
QColor backgroundGradientStart(); // window background, top-left
QColor backgroundGradientEnd();   // window background, bottom-right
QColor settingsBackground();      // the settings window
QColor errorFill();               // error banner fill: red at 15 %
QColor errorStroke();             // error banner outline: red at 35 %
QColor red();
QColor green();
QColor yellow();
QColor accent(); // prominent buttons
QColor white(qreal opacity);
// "rgba(r, g, b, a)" for style sheets.
QString css(const QColor& colour);
} // namespace Colors

// Type scale relative to the desktop's font, so that a user's larger font carries through.
namespace Fonts {
QFont body();
QFont headline();  // bold body
QFont title();     // the settings title and the permissions heading
QFont caption();   // small secondary lines
QFont caption2();  // copy buttons
QFont footnote();  // banner text, status line
QFont monospace(); // transcripts
} // namespace Fonts

// How a push button is drawn by styleSheet(): filled accent, outlined, text-only or bare.
enum class ButtonStyle { prominent, bordered, link, borderless };
void setButtonStyle(QPushButton& button, ButtonStyle style);

// Style sheet for a whole dark window (buttons, menus, fields, check boxes, scroll bars, tooltips).
// Set it on the window's top widget; the components draw their own look and need no sheet.
QString windowStyleSheet();

// The window background: a diagonal gradient, top-left to bottom-right.
QString backgroundStyle(const QString& objectName);

} // namespace murmurly::DesignSystem
