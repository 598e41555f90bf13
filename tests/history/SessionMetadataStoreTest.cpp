#include "HistoryTestSupport.h"

#include "history/SessionMetadataStore.h"

#include <QFile>

#include <gtest/gtest.h>

namespace murmurly::test {
namespace {

using Names = SessionMetadataStore::NameMap;

QString metadataFile() {
    return inApp(QStringLiteral("session_metadata.json"));
}

TEST(SessionMetadataStore, WritesCompactlyAndKeepsTheOtherNames) {
    SessionMetadataStore::deleteName(QStringLiteral("a")); // no file yet: an empty object is written
    EXPECT_EQ(readFile(metadataFile()), QByteArray("{}"));
    SessionMetadataStore::setName(QStringLiteral("Stand-up"), QStringLiteral("a"));
    EXPECT_EQ(readFile(metadataFile()), QByteArray(R"({"a":"Stand-up"})"));

    SessionMetadataStore::setName(QStringLiteral("Other"), QStringLiteral("b"));
    SessionMetadataStore::setName(QStringLiteral("Second"), QStringLiteral("a"));
    SessionMetadataStore::deleteName(QStringLiteral("nobody"));
    EXPECT_EQ(SessionMetadataStore::readNames(), (Names{{"a", "Second"}, {"b", "Other"}}));
    SessionMetadataStore::deleteName(QStringLiteral("a"));
    EXPECT_EQ(SessionMetadataStore::readNames(), (Names{{"b", "Other"}}));
}

TEST(SessionMetadataStore, AFileOfAnyOtherShapeReadsAsEmptyAndIsReplacedByTheNextWrite) {
    // Any standard object of text members is fine, however it is spaced or escaped.
    writeFile(metadataFile(), "{\n  \"b\" : \"B\\u00e9\",\n\t\"a\":\"A\\/\"\n}\n");
    EXPECT_EQ(SessionMetadataStore::readNames(), (Names{{"a", "A/"}, {"b", QStringLiteral("B\u00e9")}}));

    for (const QByteArray& contents : {QByteArray(R"(["a","b"])"), QByteArray(R"({"a":"Name","b":42})"),
                                       QByteArray(R"({"a":null})"), QByteArray(R"({"a":{"b":"c"}})"),
                                       QByteArray(R"({"a":"Name")"), QByteArray(), QByteArray("\"text\"")}) {
        SCOPED_TRACE(contents.toStdString());
        writeFile(metadataFile(), contents);
        EXPECT_TRUE(SessionMetadataStore::readNames().isEmpty());
        SessionMetadataStore::setName(QStringLiteral("Fresh"), QStringLiteral("x"));
        EXPECT_EQ(readFile(metadataFile()), QByteArray(R"({"x":"Fresh"})"));
    }
}

TEST(SessionMetadataStore, QuotesBackslashesAndNonAsciiTextSurviveAWriteAndARead) {
    const QString id = QStringLiteral("id \"quoted\" \\ back\\slash ünï");
    const QString name = QStringLiteral("Réunion « café » \"Q3\" \\\\ 東京 🎙\n second line");
    SessionMetadataStore::setName(name, id);
    EXPECT_EQ(SessionMetadataStore::readNames(), (Names{{id, name}}));
    EXPECT_TRUE(readFile(metadataFile()).contains(QStringLiteral("東京").toUtf8())); // UTF-8, not escaped
}

} // namespace
} // namespace murmurly::test
