#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QMetaType>
#include <QString>

#include <optional>
#include <vector>

namespace shared {

// One notice of the hint area: news, a tip or a maintenance warning. A plain copyable
// value; the texts are kept exactly as the hints document gives them, except that a
// non-empty rich text carries the link style in front of it.
class THint {
public:
    QString m_Title;
    QString m_RichText;
    QString m_ImageUrl;
    QString m_Category;
    QString m_Url;
    QDateTime m_DisplayAfter; // invalid: no lower limit
    QDateTime m_DisplayUntil; // invalid: no upper limit
    bool m_HasEmergency = false; // the document has an "emergency" key for this hint
    bool m_Emergency = false;
};

// Put in front of every rich text so that links render in light grey on the dark hint area.
inline constexpr char kHintRichTextPrefix[] = "<style>a { color: #c0c0c0; }</style>";

// Hints documents larger than this are refused unparsed: a real one holds a handful of
// short notices, and a runaway body must not tie up the main thread.
constexpr int kMaxHintsDocumentSize = 1024 * 1024;

// The hints of a hints document (a JSON array of objects), in document order. Hints
// without rich text are left out. Malformed or oversized documents log one warning and
// give no hints; a document that is not an array gives no hints; keys of the wrong type
// read as empty texts, invalid dates and false.
std::vector<THint> parseHints(const QByteArray& Data);

// The hint to show at the time Now, or none:
// - the first hint flagged as emergency, whatever its dates;
// - else among the hints without an "emergency" key whose dates admit Now (both limits
//   inclusive), the first one with a date limit;
// - else one of those undated hints, picked by Now's epoch milliseconds modulo their count.
std::optional<THint> chooseHint(const std::vector<THint>& Hints, const QDateTime& Now);

// As above, at the current time.
std::optional<THint> chooseHint(const std::vector<THint>& Hints);

} // namespace shared

Q_DECLARE_METATYPE(shared::THint)
Q_DECLARE_METATYPE(std::vector<shared::THint>)
