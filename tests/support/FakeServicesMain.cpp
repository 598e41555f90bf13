// Starts a fake Lemonfox and a fake Mistral service on 127.0.0.1 and prints the two base URLs as
// environment assignments, so the application can be tried by hand without real API keys:
//   eval "$(murmurly-fake-services | head -2)"  # in another shell: keep the tool running
#include "support/FakeTranscriptionService.h"

#include <QCoreApplication>
#include <QTextStream>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    using murmurly::test::FakeTranscriptionService;
    FakeTranscriptionService lemonfox(FakeTranscriptionService::Kind::lemonfox);
    FakeTranscriptionService mistral(FakeTranscriptionService::Kind::mistral);
    if (!lemonfox.listen() || !mistral.listen()) {
        QTextStream(stderr) << "Cannot listen on 127.0.0.1\n";
        return 1;
    }
    // Streamed events trickle out so that the live preview visibly grows.
    mistral.setAnswer({.pauseMs = 400});
    mistral.setKeepBodies(false);
    lemonfox.setKeepBodies(false);

    QTextStream out(stdout);
    out << "MURMURLY_LEMONFOX_BASE_URL=" << lemonfox.baseUrl().toString() << '\n'
        << "MURMURLY_MISTRAL_BASE_URL=" << mistral.baseUrl().toString() << '\n';
    out.flush();
    return app.exec();
}
