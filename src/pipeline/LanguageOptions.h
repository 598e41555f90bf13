#pragma once

#include <QList>
#include <QString>

#include <optional>

namespace murmurly {

// The languages offered by the settings window and the history panel. A value is the lower-case
// English name of the language and goes to the service as it is. Two entries are not languages:
// "Auto" (the service detects the language) and "Custom" (the user types the value).
class LanguageOptions {
public:
    LanguageOptions() = delete;

    struct Entry {
        QString label; // shown in the menus
        QString value; // stored and sent
    };

    // What a language menu shows for a stored value: a selection (an entry's value) and the text of
    // the custom field.
    struct Selection {
        QString selection;
        QString custom;
        friend bool operator==(const Selection&, const Selection&) = default;
    };

    static QString autoValue() { return QStringLiteral("Auto"); }
    static QString customValue() { return QStringLiteral("Custom"); }

    // "Auto", 22 languages in alphabetical order, "Custom".
    static const QList<Entry>& entries();

    // The language value for a menu choice: none for "Auto"; the custom text trimmed (none when
    // blank) for "Custom"; any other selection as it is.
    static std::optional<QString> resolve(const QString& selection, const QString& custom);

    // True for an entry's value other than the sentinels; case-sensitive ("English" is a label).
    static bool isKnownLanguage(const QString& value);

    // The reverse of resolve, for showing a stored value: nothing or blank as "Auto"; a known
    // language as itself; anything else as "Custom" with the value as custom text.
    static Selection selectionFor(const std::optional<QString>& stored);
};

} // namespace murmurly
