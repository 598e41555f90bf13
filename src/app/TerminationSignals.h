#pragma once

#include <QObject>

class QSocketNotifier;

namespace murmurly {

// Ends the event loop in order when the process is asked to stop: SIGTERM from the session at
// logout or from `kill`, SIGINT from Ctrl+C in a terminal, SIGHUP when the terminal goes away.
// Without this the default action kills the process on the spot, which the Quit command never
// does. The handler only writes the signal number into a socket; the main thread reads it and
// quits, so nothing unsafe runs inside the handler. Signals that were ignored when the program
// started (`nohup`) stay ignored.
class TerminationSignals : public QObject {
    Q_OBJECT
public:
    // Installs the handlers; only one object may exist at a time.
    explicit TerminationSignals(QObject* parent = nullptr);
    // Puts back the actions found at start.
    ~TerminationSignals() override;

private:
    void received();

    QSocketNotifier* m_notifier = nullptr;
};

} // namespace murmurly
