#include "app/MurmurlyApp.h"

#include <QApplication>

int main(int argc, char** argv) {
    if (murmurly::MurmurlyApp::answersInTerminal(argc, argv)) {
        QCoreApplication app(argc, argv);
        return murmurly::MurmurlyApp::run(app);
    }
    QApplication app(argc, argv);
    return murmurly::MurmurlyApp::run(app);
}
