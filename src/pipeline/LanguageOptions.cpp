#include "pipeline/LanguageOptions.h"

namespace murmurly {

const QList<LanguageOptions::Entry>& LanguageOptions::entries() {
    static const QList<Entry> list = [] {
        QList<Entry> out{{autoValue(), autoValue()}};
        for (const char* label :
             {"Arabic",  "Chinese", "Czech",    "Dutch",   "English",   "French",    "German",     "Hebrew",
              "Hindi",   "Italian", "Japanese", "Korean",  "Norwegian", "Polish",    "Portuguese", "Russian",
              "Spanish", "Swedish", "Thai",     "Turkish", "Ukrainian", "Vietnamese"}) {
            const QString name = QString::fromLatin1(label);
            out.append({name, name.toLower()});
        }
        out.append({customValue(), customValue()});
        return out;
    }();
    return list;
}

std::optional<QString> LanguageOptions::resolve(const QString& selection, const QString& custom) {
    if (selection == autoValue())
        return std::nullopt;
    if (selection == customValue()) {
        const QString trimmed = custom.trimmed();
        if (trimmed.isEmpty())
            return std::nullopt;
        return trimmed;
    }
    return selection;
}

bool LanguageOptions::isKnownLanguage(const QString& value) {
    if (value == autoValue() || value == customValue())
        return false;
    for (const Entry& entry : entries())
        if (entry.value == value)
            return true;
    return false;
}

LanguageOptions::Selection LanguageOptions::selectionFor(const std::optional<QString>& stored) {
    if (!stored || stored->isEmpty())
        return {autoValue(), QString()};
    if (isKnownLanguage(*stored))
        return {*stored, QString()};
    return {customValue(), *stored};
}

} // namespace murmurly
