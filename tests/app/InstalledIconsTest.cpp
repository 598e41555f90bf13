// The tray and window icons once the package's icons are in the icon theme, and before.
#include "app/MenuBarIcon.h"
#include "support/TestFiles.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QPainter>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace murmurly {
namespace {

QImage rendered(const QIcon& icon, int size) {
    return icon.pixmap(size).toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

TEST(InstalledIcons, TrayAndWindowTakeOurThemeIconsOnceInstalledAndDrawTheirOwnBefore) {
    QTemporaryDir data;
    const QString themes = data.filePath("icons");
    const QString apps = themes + "/hicolor/scalable/apps";
    ASSERT_TRUE(QDir().mkpath(apps) && QDir().mkpath(themes + "/Desktop"));
    // The desktop's theme knows nothing of us; like every theme it falls back to hicolor, where
    // the package puts its icons.
    test::writeFile(themes + "/Desktop/index.theme",
                    "[Icon Theme]\nName=Desktop\nInherits=hicolor\nDirectories=\n");
    test::writeFile(themes + "/hicolor/index.theme",
                    "[Icon Theme]\nName=Hicolor\nDirectories=scalable/apps\n\n"
                    "[scalable/apps]\nSize=16\nMinSize=8\nMaxSize=512\nType=Scalable\n");
    QIcon::setThemeSearchPaths({themes});
    QIcon::setThemeName("Desktop");

    // Drawn or installed, the ring is there in both states and its inside is filled only while
    // recording.
    const auto expectStates = [](const QImage& idle, const QImage& recording) {
        EXPECT_GT(qAlpha(idle.pixel(16, 2)), 200);
        EXPECT_GT(qAlpha(recording.pixel(16, 2)), 200);
        EXPECT_EQ(qAlpha(idle.pixel(9, 9)), 0);
        EXPECT_GT(qAlpha(recording.pixel(9, 9)), 200);
    };
    const MenuBarIcon drawn{QString()};
    EXPECT_EQ(rendered(drawn.icon(false), 32), MenuBarIcon::drawSymbol(false, 32));
    expectStates(MenuBarIcon::drawSymbol(false, 32), MenuBarIcon::drawSymbol(true, 32));
    EXPECT_EQ(MenuBarIcon::applicationIcon().name(), QString());

    // What the package installs into hicolor/scalable/apps.
    const QString shipped = QStringLiteral(MURMURLY_ICONS_DIR "/");
    for (const char* name :
         {MenuBarIcon::idleThemeIcon, MenuBarIcon::recordingThemeIcon, MenuBarIcon::applicationThemeIcon}) {
        const QString file = QLatin1String(name) + ".svg";
        ASSERT_TRUE(QFile::copy(shipped + file, apps + QLatin1Char('/') + file)) << name;
    }
    QIcon::setThemeSearchPaths({themes}); // looks again

    EXPECT_EQ(drawn.icon(false).name(), QLatin1String(MenuBarIcon::idleThemeIcon));
    EXPECT_EQ(drawn.icon(true).name(), QLatin1String(MenuBarIcon::recordingThemeIcon));
    EXPECT_EQ(MenuBarIcon::applicationIcon().name(), QLatin1String(MenuBarIcon::applicationThemeIcon));
    expectStates(rendered(drawn.icon(false), 32), rendered(drawn.icon(true), 32));
    EXPECT_GT(qAlpha(rendered(MenuBarIcon::applicationIcon(), 64).pixel(32, 32)), 200);

    // A custom image shipped with the program still wins over the theme: a mask painted in the
    // tray's colour that never shows the recording. One that cannot be read counts as none.
    QImage mask(18, 18, QImage::Format_ARGB32);
    mask.fill(Qt::transparent);
    QPainter(&mask).fillRect(QRect(3, 3, 12, 12), Qt::black);
    ASSERT_TRUE(mask.save(data.filePath("toolbaricon.png")));
    const MenuBarIcon custom(data.filePath("toolbaricon.png"));
    EXPECT_EQ(custom.icon(true).name(), QString());
    const QImage tinted = rendered(custom.icon(true), 32);
    EXPECT_EQ(tinted, rendered(custom.icon(false), 32));
    EXPECT_EQ(tinted.pixelColor(16, 16).rgb(), MenuBarIcon::foreground().rgb());
    EXPECT_EQ(qAlpha(tinted.pixel(2, 2)), 0);
    test::writeFile(data.filePath("broken.png"), "\x89PNG not really");
    EXPECT_FALSE(MenuBarIcon(data.filePath("broken.png")).image().has_value());
}

} // namespace
} // namespace murmurly
