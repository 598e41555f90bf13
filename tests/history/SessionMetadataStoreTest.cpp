#include "HistoryTestSupport.h"

#include "history/SessionMetadataStore.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

namespace murmurly::test {
namespace {

QString metadataFile() {
    return inApp(QStringLiteral("session_metadata.json"));
}

QJsonObject fileObject() {
    const QJsonDocument doc = QJsonDocument::fromJson(readFile(metadataFile()));
    EXPECT_TRUE(doc.isObject()) << readFile(metadataFile()).toStdString();
    return doc.object();
}

TEST(SessionMetadataStore, WithoutAFileRenameCreatesOneMemberAndDeleteAnEmptyObject) {
    ASSERT_FALSE(QFile::exists(metadataFile()));
    SessionMetadataStore::deleteName(QStringLiteral("2025-03-01T14:05:09Z"));
    EXPECT_EQ(readFile(metadataFile()), QByteArray("{}"));

    SessionMetadataStore::setName(QStringLiteral("Stand-up"), QStringLiteral("2025-03-01T14:05:09Z"));
    // Written compactly: no spaces or line breaks added.
    EXPECT_EQ(readFile(metadataFile()), QByteArray(R"({"2025-03-01T14:05:09Z":"Stand-up"})"));
}

TEST(SessionMetadataStore, RenamingTwiceKeepsTheLastNameAndDeletingAnUnnamedIdKeepsTheOthers) {
    SessionMetadataStore::setName(QStringLiteral("First"), QStringLiteral("a"));
    SessionMetadataStore::setName(QStringLiteral("Other"), QStringLiteral("b"));
    SessionMetadataStore::setName(QStringLiteral("Second"), QStringLiteral("a"));
    SessionMetadataStore::deleteName(QStringLiteral("nobody"));
    EXPECT_EQ(fileObject(), (QJsonObject{{"a", "Second"}, {"b", "Other"}}));

    SessionMetadataStore::deleteName(QStringLiteral("a"));
    EXPECT_EQ(fileObject(), (QJsonObject{{"b", "Other"}}));
    EXPECT_EQ(SessionMetadataStore::readNames(), (SessionMetadataStore::NameMap{{"b", "Other"}}));
}

TEST(SessionMetadataStore, AFileOfAnyOtherShapeReadsAsEmptyAndIsReplacedByTheNextWrite) {
    const QByteArray unreadable[] = {
        R"(["a","b"])",             // an array
        R"({"a":"Name","b":42})",   // one member that is not text
        R"({"a":"Name","b":null})", // null counts as another type too
        R"({"a":{"nested":"x"}})",  // nested object
        R"({"a":"Name")",           // truncated
        "",                         // empty file
        "\"just text\"",            // a top-level string
        "\xff\xfe{\x00}\x00",       // not UTF-8 at all
    };
    for (const QByteArray& contents : unreadable) {
        SCOPED_TRACE(contents.toStdString());
        writeFile(metadataFile(), contents);
        EXPECT_TRUE(SessionMetadataStore::readNames().isEmpty());
        SessionMetadataStore::setName(QStringLiteral("Fresh"), QStringLiteral("x"));
        EXPECT_EQ(fileObject(), (QJsonObject{{"x", "Fresh"}}));
    }
}

TEST(SessionMetadataStore, AnyStandardObjectOfTextMembersIsAccepted) {
    // Written by hand or by another tool: whitespace, escapes, member order do not matter.
    writeFile(metadataFile(), "{\n  \"b\" : \"B\\u00e9\",\n\t\"a\":\"A\\/\"\n}\n");
    EXPECT_EQ(SessionMetadataStore::readNames(),
              (SessionMetadataStore::NameMap{{"a", "A/"}, {"b", QStringLiteral("B\u00e9")}}));
}

TEST(SessionMetadataStore, QuotesBackslashesAndNonAsciiTextSurviveAWriteAndARead) {
    const QString id = QStringLiteral("id \"quoted\" \\ back\\slash");
    const QString name = QStringLiteral("Réunion « café » \"Q3\" \\\\ 東京 🎙\n second line");
    SessionMetadataStore::setName(name, id);
    SessionMetadataStore::setName(QStringLiteral("plain"), QStringLiteral("ünïcødé-id"));

    const SessionMetadataStore::NameMap names = SessionMetadataStore::readNames();
    EXPECT_EQ(names.value(id), name);
    EXPECT_EQ(names.value(QStringLiteral("ünïcødé-id")), QStringLiteral("plain"));
    EXPECT_EQ(names.size(), 2);
    // The file is UTF-8 JSON that any reader decodes to the same text.
    EXPECT_EQ(fileObject().value(id).toString(), name);
    EXPECT_TRUE(readFile(metadataFile()).contains(QStringLiteral("東京").toUtf8()));
}

TEST(SessionMetadataStore, AFolderInPlaceOfTheFileReadsAsEmptyAndIsLeftAlone) {
    // Neither read nor write can succeed; both must fail quietly and destroy nothing.
    QDir().mkpath(metadataFile());
    writeFile(metadataFile() + QStringLiteral("/keep.txt"), "precious");
    EXPECT_TRUE(SessionMetadataStore::readNames().isEmpty());
    SessionMetadataStore::setName(QStringLiteral("Name"), QStringLiteral("a"));
    SessionMetadataStore::deleteName(QStringLiteral("a"));
    EXPECT_EQ(readFile(metadataFile() + QStringLiteral("/keep.txt")), QByteArray("precious"));
}

} // namespace
} // namespace murmurly::test
