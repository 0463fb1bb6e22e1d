#include "TestEnvironment.h"

#include "THint.h"

#include <QStringList>
#include <QtTest>

namespace {

// Collects the warnings logged while alive, passing every message on.
class TWarningCollector {
public:
    TWarningCollector()
    {
        s_Texts.clear();
        s_Previous = qInstallMessageHandler(&handle);
    }
    ~TWarningCollector() { qInstallMessageHandler(s_Previous); }
    const QStringList& texts() const { return s_Texts; }

private:
    static void handle(QtMsgType Type, const QMessageLogContext& Context, const QString& Message)
    {
        if (Type == QtWarningMsg) {
            s_Texts.append(Message);
        }
        s_Previous(Type, Context, Message);
    }
    static inline QtMessageHandler s_Previous = nullptr;
    static inline QStringList s_Texts;
};

const QString kPrefix = QLatin1String(shared::kHintRichTextPrefix);
const QDateTime kNoon = QDateTime(QDate(2030, 6, 15), QTime(12, 0), Qt::UTC);

QDateTime atMs(qint64 Milliseconds)
{
    return QDateTime::fromMSecsSinceEpoch(Milliseconds, Qt::UTC);
}

// Title of the hint chosen from the document at Now, "-" for none.
QString chosenAt(const QByteArray& Document, const QDateTime& Now)
{
    const std::optional<shared::THint> Hint = shared::chooseHint(shared::parseHints(Document), Now);
    return Hint ? Hint->m_Title : QStringLiteral("-");
}

// Whether a hint with these extra keys, alone in its document, is shown at noon.
bool shownAtNoon(const char* Keys)
{
    return chosenAt(QByteArray(R"([{"title": "t", "richText": "r", )") + Keys + "}]", kNoon) == QLatin1String("t");
}

} // namespace

class TestHints : public QObject {
    Q_OBJECT
private slots:
    void readsKeysKeepsOrderAndNeutralisesWrongTypes();
    void badDocumentsGiveNoHints_data();
    void badDocumentsGiveNoHints();
    void timeWindowsAreInclusiveAndHonourOffsets();
    void choiceOrderEmergencyThenDatedThenRotation();
};

void TestHints::readsKeysKeepsOrderAndNeutralisesWrongTypes()
{
    TWarningCollector Warnings;
    const std::vector<shared::THint> Hints = shared::parseHints(R"([
        {"title": "Patch day", "richText": "<a href='x'>down</a>", "imageUrl": "https://i/p.png", "category": "cat1",
         "url": "https://n/p", "displayAfter": "2030-06-01T08:00:00Z", "displayUntil": "2030-06-02T08:00:00+02:00",
         "emergency": true},
        {"title": "no text"}, {"title": "empty text", "richText": ""}, {"title": "number text", "richText": 42},
        17, "loose", null, [{"richText": "nested"}],
        {"title": "Tip", "richText": " ", "category": "Cat1", "emergency": false},
        {"title": 5, "richText": "odd", "imageUrl": {}, "category": [" cat2"], "url": true,
         "displayAfter": 1900000000, "displayUntil": "next tuesday", "emergency": "true"},
        {"title": "null flag", "richText": "x", "category": " cat2", "emergency": null}
    ])");
    QVERIFY(Warnings.texts().isEmpty());

    // without rich text or not an object: left out; the rest keeps document order
    QStringList Titles;
    for (const shared::THint& Hint : Hints) {
        Titles << Hint.m_Title;
    }
    QCOMPARE(Titles, QStringList({"Patch day", "Tip", "", "null flag"}));

    const shared::THint& Full = Hints[0];
    QCOMPARE(Full.m_RichText, kPrefix + "<a href='x'>down</a>");
    QCOMPARE(Full.m_ImageUrl + Full.m_Url, QStringLiteral("https://i/p.pnghttps://n/p"));
    QCOMPARE(Full.m_DisplayAfter, QDateTime(QDate(2030, 6, 1), QTime(8, 0), Qt::UTC));
    QCOMPARE(Full.m_DisplayUntil, QDateTime(QDate(2030, 6, 2), QTime(6, 0), Qt::UTC));
    QVERIFY(Full.m_HasEmergency && Full.m_Emergency);

    // categories are text as given: no case folding, no trimming
    QCOMPARE(Hints[0].m_Category + "|" + Hints[1].m_Category + "|" + Hints[3].m_Category, QStringLiteral("cat1|Cat1| cat2"));
    QCOMPARE(Hints[1].m_RichText, kPrefix + " ");

    // wrong types read as empty texts, invalid dates and false; the key still counts as present
    const shared::THint& Odd = Hints[2];
    QVERIFY(Odd.m_ImageUrl.isEmpty() && Odd.m_Category.isEmpty() && Odd.m_Url.isEmpty());
    QVERIFY(!Odd.m_DisplayAfter.isValid() && !Odd.m_DisplayUntil.isValid());
    for (int Index : {1, 2, 3}) {
        QVERIFY(Hints[Index].m_HasEmergency && !Hints[Index].m_Emergency);
    }
    QVERIFY(!shared::chooseHint({Hints[1], Hints[2], Hints[3]}, kNoon));

    // a document of exactly the size limit is still read
    QByteArray AtLimit = R"([{"richText": "b"}])";
    AtLimit.append(QByteArray(shared::kMaxHintsDocumentSize - AtLimit.size(), ' '));
    QCOMPARE(int(shared::parseHints(AtLimit).size()), 1);
}

void TestHints::badDocumentsGiveNoHints_data()
{
    QTest::addColumn<QByteArray>("Document");
    QTest::addColumn<QString>("Warning"); // start of the one warning expected; null: none; "*": not checked

    const QByteArray Valid = R"([{"title": "a", "richText": "b"}])";
    const QString ParseError = QStringLiteral("Could not parse hints file at offset");
    QTest::newRow("empty body") << QByteArray() << ParseError;
    QTest::newRow("truncated") << Valid.left(Valid.size() - 3) << ParseError;
    QTest::newRow("trailing garbage") << Valid + "]" << ParseError;
    QTest::newRow("object") << QByteArray(R"({"title": "a", "richText": "b"})") << QString();
    QTest::newRow("object around array") << QByteArray(R"({"hints": [{"richText": "b"}]})") << QString();
    QTest::newRow("scalar") << QByteArray("42") << QStringLiteral("*");
    QTest::newRow("binary") << QByteArray("\x00\xff\xfe[{", 5) << ParseError;
    QTest::newRow("invalid utf-8") << QByteArray("[{\"richText\": \"\xc3\x28\"}]") << ParseError;
    QTest::newRow("deeply nested") << QByteArray(100000, '[') + QByteArray(100000, ']') << ParseError;
    QTest::newRow("over size limit") << Valid + QByteArray(shared::kMaxHintsDocumentSize - Valid.size() + 1, ' ')
                                     << QStringLiteral("Hints file too large");
}

void TestHints::badDocumentsGiveNoHints()
{
    QFETCH(QByteArray, Document);
    QFETCH(QString, Warning);
    TWarningCollector Warnings;
    QVERIFY(shared::parseHints(Document).empty());
    if (Warning.isNull()) {
        QVERIFY(Warnings.texts().isEmpty());
    } else if (Warning != QLatin1String("*")) {
        QCOMPARE(Warnings.texts().size(), 1);
        QVERIFY2(Warnings.texts().first().startsWith(Warning), qPrintable(Warnings.texts().first()));
    }
}

void TestHints::timeWindowsAreInclusiveAndHonourOffsets()
{
    QVERIFY(shownAtNoon(R"("displayAfter": "2030-06-15T12:00:00Z")"));
    QVERIFY(!shownAtNoon(R"("displayAfter": "2030-06-15T12:00:00.001Z")"));
    QVERIFY(!shownAtNoon(R"("displayAfter": "2030-06-15T13:00:00Z")"));
    QVERIFY(shownAtNoon(R"("displayUntil": "2030-06-15T12:00:00Z")"));
    QVERIFY(!shownAtNoon(R"("displayUntil": "2030-06-15T11:59:59.999Z")"));
    QVERIFY(!shownAtNoon(R"("displayAfter": "2030-06-15T13:00:00Z", "displayUntil": "2030-06-15T11:00:00Z")"));

    // 13:30+02:00 is 11:30 UTC, already past at noon UTC; 07:30-05:00 is 12:30 UTC
    QVERIFY(shownAtNoon(R"("displayAfter": "2030-06-15T13:30:00+02:00")"));
    QVERIFY(!shownAtNoon(R"("displayUntil": "2030-06-15T13:30:00+02:00")"));
    QVERIFY(!shownAtNoon(R"("displayAfter": "2030-06-15T07:30:00-05:00")"));

    // an unreadable limit is no limit, on either side
    QVERIFY(shownAtNoon(R"("displayAfter": "tomorrow", "displayUntil": "2030-06-15T12:00:00Z")"));
    QVERIFY(shownAtNoon(R"("displayAfter": "2030-06-15T12:00:00Z", "displayUntil": "")"));

    // the same instant given in another offset decides the same way
    const QByteArray Until = R"([{"title": "t", "richText": "r", "displayUntil": "2030-06-15T12:00:00Z"}])";
    QCOMPARE(chosenAt(Until, kNoon.toOffsetFromUtc(-7 * 3600)), QStringLiteral("t"));
    QCOMPARE(chosenAt(Until, kNoon.addMSecs(1).toOffsetFromUtc(9 * 3600)), QStringLiteral("-"));
}

void TestHints::choiceOrderEmergencyThenDatedThenRotation()
{
    QVERIFY(!shared::chooseHint({}, kNoon));

    // the first true emergency wins, even expired, before dated and undated hints
    QCOMPARE(chosenAt(R"([{"title": "dated", "richText": "r", "displayUntil": "2030-12-31T00:00:00Z"},
        {"title": "string flag", "richText": "r", "emergency": "true"},
        {"title": "old emergency", "richText": "r", "emergency": true, "displayUntil": "2001-01-01T00:00:00Z"},
        {"title": "new emergency", "richText": "r", "emergency": true}])",
                      kNoon),
             QStringLiteral("old emergency"));

    // "emergency": false alone, or only hints outside their window: nothing
    QCOMPARE(chosenAt(R"([{"title": "t", "richText": "r", "emergency": false}])", kNoon), QStringLiteral("-"));
    QCOMPARE(chosenAt(R"([{"title": "old", "richText": "r", "displayUntil": "2030-01-01T00:00:00Z"},
        {"title": "soon", "richText": "r", "displayAfter": "2031-01-01T00:00:00Z"}])",
                      kNoon),
             QStringLiteral("-"));

    // the first hint limited in time that shows now beats undated ones before it, at any millisecond
    for (const char* Limit : {R"("displayUntil": "2030-07-01T00:00:00Z")", R"("displayAfter": "2030-06-01T00:00:00Z")"}) {
        const QByteArray Dated = QByteArray(R"([{"title": "undated", "richText": "r", "category": "cat1"},
            {"title": "expired", "richText": "r", "displayUntil": "2030-06-15T11:00:00Z"},
            {"title": "current", "richText": "r", "category": "cat3", )") +
            Limit + R"(},
            {"title": "current too", "richText": "r", "displayAfter": "2030-06-01T00:00:00Z"}])";
        QCOMPARE(chosenAt(Dated, kNoon), QStringLiteral("current"));
        QCOMPARE(chosenAt(Dated, kNoon.addMSecs(1)), QStringLiteral("current"));
    }

    // undated hints rotate by epoch milliseconds modulo their count, also before 1970
    const QByteArray Three = R"([{"title": "a", "richText": "r"}, {"title": "b", "richText": "r"},
        {"title": "c", "richText": "r"}])";
    const qint64 Base = Q_INT64_C(1700000000001); // divisible by 3
    QString Sequence;
    for (qint64 Ms : {Base, Base + 1, Base + 2, Base + 3, qint64(-1), qint64(-3)}) {
        Sequence += chosenAt(Three, atMs(Ms));
    }
    QCOMPARE(Sequence, QStringLiteral("abcaca"));

    // the rotation runs over the hints that may show now, not over the whole list
    const QByteArray Mixed = R"([{"title": "first", "richText": "r"},
        {"title": "expired", "richText": "r", "displayUntil": "2030-06-15T11:00:00Z"},
        {"title": "opted out", "richText": "r", "emergency": false},
        {"title": "future", "richText": "r", "displayAfter": "2030-06-15T13:00:00Z"},
        {"title": "second", "richText": "r"}])";
    const qint64 Even = kNoon.toMSecsSinceEpoch();
    QCOMPARE(chosenAt(Mixed, atMs(Even)) + chosenAt(Mixed, atMs(Even + 1)) + chosenAt(Mixed, atMs(Even + 2)),
             QStringLiteral("firstsecondfirst"));

    // without a pinned time the clock decides: a hint that expired in 2001 never shows
    const std::vector<shared::THint> Hints = shared::parseHints(R"([
        {"title": "expired", "richText": "r", "displayUntil": "2001-01-01T00:00:00Z"}, {"title": "undated", "richText": "r"}])");
    QCOMPARE(shared::chooseHint(Hints)->m_Title, QStringLiteral("undated"));
}

QTEST_GUILESS_MAIN(TestHints)
#include "tst_hints.moc"
