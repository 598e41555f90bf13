#pragma once

#include "app/SingleInstance.h"

#include <QObject>

#include <memory>

class QCoreApplication;
class QSystemTrayIcon;

namespace murmurly {

class AppModel;
class MainWindow;
class MenuBarContent;
class MenuBarLabel;

// The application: one AppModel for the life of the process, the tray item (icon and menu) and
// the main window. With a system tray the window opens at launch unless asked not to, and closing
// it leaves the tray item, whose "Show Window" brings it back; without a tray (a bare X server,
// some Wayland desktops) the window always opens and closing it quits.
class MurmurlyApp : public QObject {
    Q_OBJECT
public:
    // Creates the model, which may resume a session left pending by an earlier launch.
    explicit MurmurlyApp(QObject* parent = nullptr);
    ~MurmurlyApp() override;

    // The whole program: command line, single instance, launch, event loop. Returns the exit code.
    // `app` is a QApplication, or a plain QCoreApplication when answersInTerminal() said so.
    static int run(QCoreApplication& app);

    // Whether the command line only asks for the help or the version: those are printed without
    // connecting to a display, so that they work over ssh and in scripts.
    static bool answersInTerminal(int argc, char** argv);

    AppModel& model() const { return *m_model; }

    // Builds the tray item and the window; `trayAvailable` says whether the desktop has a tray,
    // `openWindow` whether the window opens with it (without a tray it always does).
    void launch(bool trayAvailable, bool openWindow = true);

    // A command handed over by a later launch of the program.
    void handle(murmurly::SingleInstance::Command command);
    // A file to transcribe, from the command line or a later launch.
    void transcribe(const QString& path);

    MainWindow* window() const { return m_window.get(); }
    QSystemTrayIcon* tray() const { return m_tray.get(); }
    MenuBarContent* menu() const { return m_menu.get(); }
    MenuBarLabel* label() const { return m_label.get(); }

private:
    std::unique_ptr<AppModel> m_model;
    std::unique_ptr<MainWindow> m_window;
    std::unique_ptr<QSystemTrayIcon> m_tray;
    std::unique_ptr<MenuBarContent> m_menu;
    std::unique_ptr<MenuBarLabel> m_label;
};

} // namespace murmurly
