#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

namespace murmurly::test {

// Points HOME, the XDG folders and TMPDIR at a fresh private folder for the life of the object,
// so that no test reads or writes the real user's files. One per process: the application keeps
// file locations it derived from HOME, so the folder stays the same and is emptied between tests.
class TemporaryHome {
public:
    TemporaryHome();
    ~TemporaryHome();
    TemporaryHome(const TemporaryHome&) = delete;
    TemporaryHome& operator=(const TemporaryHome&) = delete;

    QString path() const { return m_path; }

    // Deletes everything in the folder and creates the empty XDG folders again.
    void empty();

private:
    void createFolders();

    QString m_path;
};

// Gives every test of the process the same start, whatever the tests before it did: an empty home
// folder, the environment as it is now (variables a test set, changed or removed are put back),
// and process-wide caches reset through the hooks below. Call once, after the process-wide set-up
// and before RUN_ALL_TESTS().
void isolateEachTest(TemporaryHome& home);

// Adds a reset of process-wide state (a cache the code under test keeps) to run before each test.
// Safe to call during static initialisation.
void resetBeforeEachTest(std::function<void()> reset);

} // namespace murmurly::test
