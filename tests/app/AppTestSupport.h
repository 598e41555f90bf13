#pragma once

#include <QString>

class QWidget;

namespace murmurly::test {

// Saves a picture of `widget` as <build>/screenshots/<name>.png (<name>@2x.png when drawn at twice
// the scale) for a person to look at.
void saveScreenshot(QWidget& widget, const QString& name);

// Where the application keeps its recordings and its transcripts.
QString appFolder();
QString transcriptsFolder();

} // namespace murmurly::test
