#pragma once

#include <QString>

class QWidget;

namespace murmurly::test {

// Saves a picture of `widget` as <build>/screenshots/<name>.png for a person to look at.
void saveScreenshot(QWidget& widget, const QString& name);

// Where the application keeps its recordings and its transcripts.
QString appFolder();
QString transcriptsFolder();

} // namespace murmurly::test
