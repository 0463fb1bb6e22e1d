// Drives the hints parser and the choice of the hint to show with arbitrary documents.

#include "FuzzSupport.h"

#include "THint.h"

#include <QByteArray>
#include <QDateTime>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size)
{
    using fuzzsupport::check;
    fuzzsupport::silenceQtMessages();

    const QByteArray Document(reinterpret_cast<const char*>(Data), static_cast<int>(Size));
    const std::vector<shared::THint> Hints = shared::parseHints(Document);
    for (const shared::THint& Hint : Hints) {
        check(Hint.m_RichText.startsWith(QLatin1String(shared::kHintRichTextPrefix)), "every hint carries the link style");
        check(Hint.m_RichText.size() > int(sizeof(shared::kHintRichTextPrefix) - 1), "hints without rich text are dropped");
        check(Hint.m_HasEmergency || !Hint.m_Emergency, "an emergency flag needs the key");
    }

    // before 1970, at the epoch, and far ahead: the rotation index must stay in range
    const qint64 Times[] = {-86400000LL * 365 * 30 - 7, 0, 1, 4102444800000LL + 13};
    for (const qint64 Milliseconds : Times) {
        const std::optional<shared::THint> Chosen = shared::chooseHint(Hints, QDateTime::fromMSecsSinceEpoch(Milliseconds, Qt::UTC));
        check(!Chosen || !Hints.empty(), "nothing is chosen from no hints");
        if (Chosen) {
            check(!Chosen->m_HasEmergency || Chosen->m_Emergency, "a hint with emergency false is never chosen");
        }
    }
    return 0;
}
