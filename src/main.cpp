#include "app/MurmurlyApp.h"

#include <QApplication>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    return murmurly::MurmurlyApp::run(app);
}
