#include "app/MurmurlyApp.h"

#include "app/AppModel.h"
#include "app/MainWindow.h"
#include "app/MenuBarContent.h"
#include "app/MenuBarIcon.h"
#include "app/MenuBarLabel.h"
#include "app/TerminationSignals.h"
#include "audio/vad/VADModelLocation.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QCursor>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QMenu>
#include <QSystemTrayIcon>

#include <cstdio>
#include <string_view>

namespace murmurly {

namespace {
Q_LOGGING_CATEGORY(lcApp, "com.murmurly.app.MurmurlyApp")
} // namespace

MurmurlyApp::MurmurlyApp(QObject* parent)
    : QObject(parent)
    , m_model(std::make_unique<AppModel>()) {}

MurmurlyApp::~MurmurlyApp() = default;

void MurmurlyApp::launch(bool trayAvailable, bool openWindow) {
    QApplication::setWindowIcon(MenuBarIcon::applicationIcon());

    m_window = std::make_unique<MainWindow>(*m_model);

    m_tray = std::make_unique<QSystemTrayIcon>();
    m_menu = std::make_unique<MenuBarContent>(*m_model, m_model->pipeline());
    m_label = std::make_unique<MenuBarLabel>(m_model->pipeline(), *m_tray, MenuBarIcon::shared());
    connect(m_menu.get(), &MenuBarContent::quitRequested, this, [] { QCoreApplication::quit(); });
    m_tray->setContextMenu(m_menu->menu());
    // A menu-bar item opens its menu on a plain click; most trays only do so on a right click.
    connect(m_tray.get(), &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::Trigger)
                    m_menu->menu()->popup(QCursor::pos());
            });

    if (trayAvailable) {
        // The tray item is the way back to the window; closing the window must not end the app.
        QApplication::setQuitOnLastWindowClosed(false);
        m_tray->show();
        if (openWindow)
            m_window->show();
    } else {
        qCInfo(lcApp, "No system tray available; opening the window instead");
        QApplication::setQuitOnLastWindowClosed(true);
        m_window->show();
    }
}

void MurmurlyApp::handle(SingleInstance::Command command) {
    switch (command) {
    case SingleInstance::Command::Show:
        m_model->showWindow();
        break;
    case SingleInstance::Command::Toggle:
        m_model->toggleRecording();
        break;
    }
}

bool MurmurlyApp::answersInTerminal(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument(argv[i]);
        if (argument == "--")
            break;
        for (std::string_view option : {"-h", "--help", "-?", "--help-all", "-v", "--version"}) {
            if (argument == option)
                return true;
        }
    }
    return false;
}

void MurmurlyApp::transcribe(const QString& path) {
    m_model->importFile(path);
}

int MurmurlyApp::run(QCoreApplication& app) {
    QCoreApplication::setApplicationName(QStringLiteral("Murmurly"));
    QCoreApplication::setApplicationVersion(QStringLiteral(MURMURLY_VERSION));
    // The installed launcher's name: Wayland compositors match windows to it by this id.
    QGuiApplication::setDesktopFileName(QStringLiteral("com.murmurly.Murmurly"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Records system audio and the microphone, keeps the speech and transcribes it."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption toggle(
        QStringLiteral("toggle"),
        QStringLiteral("Start recording, or stop it if a recording is running (in the running Murmurly, "
                       "or in a new one). Bind this to a global keyboard shortcut."));
    parser.addOption(toggle);
    const QCommandLineOption hidden(
        QStringLiteral("hidden"),
        QStringLiteral("Start with the window closed, in the system tray only (as when starting at login)."));
    parser.addOption(hidden);
    const QCommandLineOption transcribe(
        QStringLiteral("transcribe"),
        QStringLiteral("Transcribe an audio or video file (in the running Murmurly, or in a new one)."),
        QStringLiteral("FILE"));
    parser.addOption(transcribe);
    parser.process(app);
    const auto command =
        parser.isSet(toggle) ? SingleInstance::Command::Toggle : SingleInstance::Command::Show;

    // Claim the instance before the model exists: a second process must not resume the pending
    // session or open the sound sources that the first one is using.
    const QString file =
        parser.isSet(transcribe) ? QFileInfo(parser.value(transcribe)).absoluteFilePath() : QString();
    if (!file.isEmpty() && !QFileInfo(file).isFile()) {
        std::fprintf(stderr, "murmurly: no such file: %s\n", qUtf8Printable(file));
        return 1;
    }
    SingleInstance instance;
    if (!instance.claim()) {
        // A hidden start asks nothing of a Murmurly that already runs.
        if (parser.isSet(hidden) && !parser.isSet(toggle) && file.isEmpty())
            return 0;
        if (const auto error = file.isEmpty() ? instance.send(command) : instance.sendTranscribe(file)) {
            std::fprintf(stderr, "murmurly: %s\n", qUtf8Printable(*error));
            return 1;
        }
        return 0;
    }

    const QString model = VADModelLocation::resolve();
    if (model.isEmpty())
        qCWarning(lcApp, "VAD model not found; looked in %s",
                  qUtf8Printable(VADModelLocation::candidates().join(QStringLiteral(", "))));
    else
        qCInfo(lcApp, "VAD model: %s", qUtf8Printable(model));

    TerminationSignals quitOnSignal;
    MurmurlyApp murmurly;
    connect(&instance, &SingleInstance::commandReceived, &murmurly, &MurmurlyApp::handle);
    connect(&instance, &SingleInstance::transcribeRequested, &murmurly, &MurmurlyApp::transcribe);
    // The window opens at launch unless the program was started for a command or hidden.
    murmurly.launch(QSystemTrayIcon::isSystemTrayAvailable(), !parser.isSet(toggle) && !parser.isSet(hidden));
    if (command == SingleInstance::Command::Toggle)
        murmurly.handle(command);
    if (!file.isEmpty())
        murmurly.transcribe(file);
    return app.exec();
}

} // namespace murmurly
