#include "AppTestSupport.h"
#include "WindowFixture.h"

#include "app/AutostartEntry.h"
#include "app/SettingsView.h"
#include "storage/PlainTextStore.h"
#include "support/TestFiles.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>

namespace murmurly {
namespace {

using test::readFile;
using test::writeFile;

// Looked up when used, never before main() has moved HOME to the test's own folder.
QString lemonfoxKey() {
    return PlainTextStore::lemonfoxApiKeyURL();
}
QString mistralKey() {
    return PlainTextStore::mistralApiKeyURL();
}
QString providerFile() {
    return PlainTextStore::providerURL();
}
QString languageFile() {
    return PlainTextStore::languageURL();
}

class Settings : public test::WindowFixture {
protected:
    void select(QComboBox& menu, const QString& value) { menu.setCurrentIndex(menu.findData(value)); }
};

TEST_F(Settings, OpensWithWhatTheFilesHold) {
    {
        SettingsView view;
        view.show();
        EXPECT_EQ(view.providerSelection(), QStringLiteral("lemonfox"));
        EXPECT_EQ(view.keyField()->text(), QString());
        EXPECT_EQ(view.languageSelection(), QStringLiteral("Auto"));
        EXPECT_FALSE(view.customLanguageField()->isVisibleTo(&view));
        EXPECT_FALSE(view.status().has_value());
        EXPECT_FALSE(view.startAtLoginBox()->isChecked());
        // Showing what is stored saves nothing.
        EXPECT_FALSE(QFileInfo::exists(providerFile()));
    }
    writeFile(providerFile(), "Mistral\n");
    writeFile(mistralKey(), "  sk-mistral \n");
    writeFile(languageFile(), "german\n");
    {
        SettingsView view;
        view.show();
        EXPECT_EQ(view.providerSelection(), QStringLiteral("mistral"));
        EXPECT_EQ(view.serviceMenu()->currentText(), QStringLiteral("Mistral"));
        EXPECT_EQ(view.keyField()->text(), QStringLiteral("sk-mistral"));
        EXPECT_EQ(view.keyField()->echoMode(), QLineEdit::Password);
        EXPECT_EQ(view.languageSelection(), QStringLiteral("german"));
        EXPECT_FALSE(view.status().has_value());
    }
    writeFile(languageFile(), "klingon");
    SettingsView view;
    view.show();
    EXPECT_EQ(view.languageSelection(), QStringLiteral("Custom"));
    EXPECT_EQ(view.customLanguage(), QStringLiteral("klingon"));
    EXPECT_TRUE(view.customLanguageField()->isVisibleTo(&view));
}

TEST_F(Settings, EachServiceKeepsItsOwnKeyAndSavesAtOnce) {
    SettingsView view;
    view.show();
    QTest::keyClicks(view.keyField(), QStringLiteral("lemon-typed"));
    test::saveScreenshot(view, QStringLiteral("settings-lemonfox"));

    select(*view.serviceMenu(), QStringLiteral("mistral"));
    EXPECT_EQ(readFile(providerFile()), QByteArray("mistral"));
    EXPECT_EQ(view.status(), QStringLiteral("Service set to Mistral"));
    EXPECT_EQ(view.keyHeading()->text(), QStringLiteral("Mistral API Key"));
    EXPECT_EQ(view.keyCaption()->text(), QStringLiteral("The key is stored locally in ~/.mistral_api_key"));
    EXPECT_EQ(view.keyField()->text(), QString());
    QTest::keyClicks(view.keyField(), QStringLiteral("  sk-mistral  "));
    view.saveKeyButton()->click();
    EXPECT_EQ(view.status(), QStringLiteral("Saved to ~/.mistral_api_key"));
    EXPECT_EQ(view.statusLabel()->text(), QStringLiteral("Saved to ~/.mistral_api_key"));
    EXPECT_EQ(readFile(mistralKey()), QByteArray("sk-mistral"));
    // Readable by its owner only (Qt lists the owner's rights twice, as owner and as user).
    EXPECT_EQ(QFileInfo(mistralKey()).permissions(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                         QFileDevice::ReadUser | QFileDevice::WriteUser);
    EXPECT_EQ(view.keyField()->text(), QStringLiteral("  sk-mistral  "));
    test::saveScreenshot(view, QStringLiteral("settings-mistral"));

    select(*view.serviceMenu(), QStringLiteral("lemonfox"));
    EXPECT_EQ(readFile(providerFile()), QByteArray("lemonfox"));
    EXPECT_EQ(view.status(), QStringLiteral("Service set to Lemonfox"));
    EXPECT_EQ(view.keyHeading()->text(), QStringLiteral("Lemonfox API Key"));
    EXPECT_EQ(view.keyField()->text(), QStringLiteral("lemon-typed"));
    EXPECT_FALSE(QFileInfo::exists(lemonfoxKey()));

    // Blanks save an empty key; a key over two lines is refused; Clear removes the file and the text.
    view.keyField()->setText(QStringLiteral("   "));
    view.saveKeyButton()->click();
    EXPECT_EQ(view.status(), QStringLiteral("Saved to ~/.lemonfox_api_key"));
    EXPECT_EQ(readFile(lemonfoxKey()), QByteArray());
    view.keyField()->setText(QStringLiteral("sk-pasted\n"));
    view.saveKeyButton()->click();
    EXPECT_EQ(readFile(lemonfoxKey()), QByteArray("sk-pasted"));
    view.keyField()->setText(QStringLiteral("sk-one\nsk-two"));
    view.saveKeyButton()->click();
    EXPECT_EQ(view.status(), QStringLiteral("Not saved: the key contains a line break"));
    EXPECT_EQ(readFile(lemonfoxKey()), QByteArray("sk-pasted"));
    view.clearKeyButton()->click();
    EXPECT_EQ(view.status(), QStringLiteral("Key removed"));
    EXPECT_FALSE(QFileInfo::exists(lemonfoxKey()));
    EXPECT_EQ(view.keyField()->text(), QString());
    view.clearKeyButton()->click();
    EXPECT_EQ(view.status(), QStringLiteral("Key removed"));

    view.saveServiceButton()->click();
    EXPECT_EQ(view.status(), QStringLiteral("Service set to Lemonfox"));
    // The Mistral key typed and saved earlier is still there when switching back.
    select(*view.serviceMenu(), QStringLiteral("mistral"));
    EXPECT_EQ(view.keyField()->text(), QStringLiteral("  sk-mistral  "));
}

TEST_F(Settings, LanguageIsSavedResolvedOrRemoved) {
    SettingsView view;
    view.show();
    select(*view.languageMenu(), QStringLiteral("french"));
    EXPECT_FALSE(view.customLanguageField()->isVisibleTo(&view));
    view.saveLanguageButton()->click();
    EXPECT_EQ(view.status(), QStringLiteral("Default language saved"));
    EXPECT_EQ(readFile(languageFile()), QByteArray("french"));

    select(*view.languageMenu(), QStringLiteral("Custom"));
    EXPECT_TRUE(view.customLanguageField()->isVisibleTo(&view));
    QTest::keyClicks(view.customLanguageField(), QStringLiteral(" klingon "));
    view.saveLanguageButton()->click();
    EXPECT_EQ(readFile(languageFile()), QByteArray("klingon"));

    // Custom with nothing typed, like Auto, removes the file and still reports it saved.
    view.customLanguageField()->clear();
    view.saveLanguageButton()->click();
    EXPECT_EQ(view.status(), QStringLiteral("Default language saved"));
    EXPECT_FALSE(QFileInfo::exists(languageFile()));

    writeFile(languageFile(), "italian");
    select(*view.languageMenu(), QStringLiteral("Auto"));
    view.saveLanguageButton()->click();
    EXPECT_FALSE(QFileInfo::exists(languageFile()));

    writeFile(languageFile(), "italian");
    select(*view.languageMenu(), QStringLiteral("Custom"));
    view.customLanguageField()->setText(QStringLiteral("elvish"));
    view.clearLanguageButton()->click();
    EXPECT_EQ(view.status(), QStringLiteral("Default language cleared"));
    EXPECT_FALSE(QFileInfo::exists(languageFile()));
    EXPECT_EQ(view.languageSelection(), QStringLiteral("Auto"));
    EXPECT_EQ(view.customLanguage(), QString());
}

// A settings file that cannot be written or removed (here a folder stands in its place, which
// even the superuser cannot overwrite with a file) is reported and changes nothing else.
TEST_F(Settings, FailedWritesAreReportedAndChangeNothing) {
    writeFile(lemonfoxKey(), "sk-kept");
    SettingsView view;
    view.show();
    for (const QString& path : {providerFile(), mistralKey(), languageFile()})
        ASSERT_TRUE(QDir().mkpath(path + QStringLiteral("/blocked")));

    select(*view.serviceMenu(), QStringLiteral("mistral"));
    EXPECT_EQ(view.status(), QStringLiteral("Failed to save service"));
    view.keyField()->setText(QStringLiteral("sk-new"));
    view.saveKeyButton()->click();
    EXPECT_EQ(view.status(), QStringLiteral("Failed to save"));
    view.clearKeyButton()->click();
    EXPECT_EQ(view.status(), QStringLiteral("Failed to remove"));
    EXPECT_EQ(view.keyField()->text(), QStringLiteral("sk-new"));

    select(*view.languageMenu(), QStringLiteral("german"));
    view.saveLanguageButton()->click();
    EXPECT_EQ(view.status(), QStringLiteral("Failed to save language"));
    view.clearLanguageButton()->click();
    EXPECT_EQ(view.status(), QStringLiteral("Failed to clear language"));
    EXPECT_EQ(view.languageSelection(), QStringLiteral("german"));

    ASSERT_TRUE(QDir().mkpath(AutostartEntry::path() + QStringLiteral("/blocked")));
    view.startAtLoginBox()->click();
    EXPECT_EQ(view.status(), QStringLiteral("Failed to change start at login"));
    EXPECT_FALSE(view.startAtLoginBox()->isChecked());
    EXPECT_EQ(readFile(lemonfoxKey()), QByteArray("sk-kept"));
}

TEST_F(Settings, StartAtLoginWritesAndRemovesTheAutostartEntry) {
    SettingsView view;
    view.show();
    view.startAtLoginBox()->click();
    EXPECT_EQ(view.status(), QStringLiteral("Murmurly will start at login"));
    const QString entry = QString::fromUtf8(readFile(AutostartEntry::path()));
    EXPECT_TRUE(AutostartEntry::path().endsWith(QStringLiteral("/autostart/com.murmurly.Murmurly.desktop")));
    EXPECT_TRUE(entry.startsWith(QStringLiteral("[Desktop Entry]\n")));
    // Started from here, not from the PATH: the entry names this very program.
    EXPECT_TRUE(
        entry.contains(QStringLiteral("\nExec=\"%1\" --hidden\n")
                           .arg(QFileInfo(QCoreApplication::applicationFilePath()).canonicalFilePath())))
        << qPrintable(entry);
    {
        SettingsView reopened;
        reopened.show();
        EXPECT_TRUE(reopened.startAtLoginBox()->isChecked());
    }
    view.startAtLoginBox()->click();
    EXPECT_EQ(view.status(), QStringLiteral("Murmurly will not start at login"));
    EXPECT_FALSE(QFileInfo::exists(AutostartEntry::path()));

    // Another program named "murmurly" on the PATH is not this one; an installed copy of this one
    // (found on the PATH by that name) is started by name.
    QTemporaryDir bin;
    const QString onPath = bin.filePath(QStringLiteral("murmurly"));
    writeFile(onPath, "#!/bin/sh\n");
    ASSERT_TRUE(QFile::setPermissions(onPath, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    const QByteArray path = qgetenv("PATH");
    qputenv("PATH", bin.path().toUtf8() + ':' + path);
    EXPECT_TRUE(AutostartEntry::execLine().endsWith(QStringLiteral("app_window_test\" --hidden")));
    ASSERT_TRUE(QFile::remove(onPath));
    ASSERT_TRUE(QFile::link(QCoreApplication::applicationFilePath(), onPath));
    view.startAtLoginBox()->click();
    qputenv("PATH", path);
    EXPECT_TRUE(readFile(AutostartEntry::path()).contains("\nExec=murmurly --hidden\n"));
}

// A key saved in the dialog is the one the next transcription sends, without a restart.
TEST_F(Settings, TheNextTranscriptionUsesTheSavedKey) {
    qunsetenv("LEMONFOX_API_KEY");
    writeFile(lemonfoxKey(), "sk-old");
    auto transcribeOnce = [&] {
        pipeline().start();
        audio.push(12, 0.3f);
        pipeline().stop();
        EXPECT_TRUE(QTest::qWaitFor([&] { return !pipeline().isTranscribing(); }, 30000));
        EXPECT_EQ(pipeline().lastErrorDescription(), QString());
        return lemonfox.requests().last().header("Authorization").value_or(QByteArray());
    };
    EXPECT_EQ(transcribeOnce(), QByteArray("Bearer sk-old"));

    SettingsView view;
    view.show();
    view.keyField()->setText(QStringLiteral("sk-new"));
    view.saveKeyButton()->click();
    EXPECT_EQ(transcribeOnce(), QByteArray("Bearer sk-new"));
    // Cleared: the lookup falls back to the environment.
    qputenv("LEMONFOX_API_KEY", "sk-environment");
    view.clearKeyButton()->click();
    EXPECT_EQ(transcribeOnce(), QByteArray("Bearer sk-environment"));
}

} // namespace
} // namespace murmurly
