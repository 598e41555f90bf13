#include "app/TerminationSignals.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QSocketNotifier>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace murmurly {

namespace {

Q_LOGGING_CATEGORY(lcSignals, "com.murmurly.app.TerminationSignals")

constexpr std::array<int, 3> handledSignals{SIGTERM, SIGINT, SIGHUP};

// [0] is written by the handler, [1] is read on the main thread.
int socketPair[2] = {-1, -1};
// The actions found at start, put back at the end.
std::array<struct sigaction, handledSignals.size()> previousActions{};

extern "C" void onSignal(int number) {
    const int savedErrno = errno;
    const char byte = char(number);
    // A full socket means a quit is already on its way; the byte may be dropped.
    [[maybe_unused]] const ssize_t written = ::write(socketPair[0], &byte, 1);
    errno = savedErrno;
}

} // namespace

TerminationSignals::TerminationSignals(QObject* parent)
    : QObject(parent) {
    // Close-on-exec: the sound settings and other programs started from here must not inherit it.
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, socketPair) != 0) {
        qCWarning(lcSignals, "Cannot watch for termination signals: %s", std::strerror(errno));
        return;
    }
    m_notifier = new QSocketNotifier(socketPair[1], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &TerminationSignals::received);

    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < handledSignals.size(); ++i) {
        ::sigaction(handledSignals[i], nullptr, &previousActions[i]);
        // A signal ignored by whoever started us stays ignored: `nohup murmurly` must outlive
        // its terminal.
        if (previousActions[i].sa_handler != SIG_IGN)
            ::sigaction(handledSignals[i], &action, nullptr);
    }
}

TerminationSignals::~TerminationSignals() {
    if (!m_notifier)
        return;
    for (std::size_t i = 0; i < handledSignals.size(); ++i)
        ::sigaction(handledSignals[i], &previousActions[i], nullptr);
    delete m_notifier;
    ::close(socketPair[0]);
    ::close(socketPair[1]);
    socketPair[0] = socketPair[1] = -1;
}

void TerminationSignals::received() {
    char byte = 0;
    while (::read(socketPair[1], &byte, 1) == 1)
        qCInfo(lcSignals, "Received signal %d; quitting", int(byte));
    QCoreApplication::quit();
}

} // namespace murmurly
