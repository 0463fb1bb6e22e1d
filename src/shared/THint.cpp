#include "THint.h"

#include <QDebug>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QJsonValue>
#include <QThread>

namespace shared {

namespace {

QDateTime readDateTime(const QJsonValue& Value)
{
    // a missing or non-string value gives an empty text, hence an invalid date-time
    return QDateTime::fromString(Value.toString(), Qt::ISODate);
}

THint readHint(const QJsonObject& Object)
{
    THint Hint;
    Hint.m_Title = Object.value(QLatin1String("title")).toString();
    Hint.m_RichText = Object.value(QLatin1String("richText")).toString();
    Hint.m_ImageUrl = Object.value(QLatin1String("imageUrl")).toString();
    Hint.m_Category = Object.value(QLatin1String("category")).toString();
    Hint.m_Url = Object.value(QLatin1String("url")).toString();
    Hint.m_DisplayAfter = readDateTime(Object.value(QLatin1String("displayAfter")));
    Hint.m_DisplayUntil = readDateTime(Object.value(QLatin1String("displayUntil")));
    Hint.m_HasEmergency = Object.contains(QLatin1String("emergency"));
    Hint.m_Emergency = Object.value(QLatin1String("emergency")).toBool(false);
    if (!Hint.m_RichText.isEmpty()) {
        Hint.m_RichText.prepend(QLatin1String(kHintRichTextPrefix));
    }
    return Hint;
}

bool isTimeLimited(const THint& Hint)
{
    return Hint.m_DisplayAfter.isValid() || Hint.m_DisplayUntil.isValid();
}

// Only hints without any "emergency" key take part in the regular rotation.
bool isCandidateAt(const THint& Hint, const QDateTime& Now)
{
    if (Hint.m_HasEmergency) {
        return false;
    }
    if (Hint.m_DisplayAfter.isValid() && Hint.m_DisplayAfter > Now) {
        return false;
    }
    if (Hint.m_DisplayUntil.isValid() && Hint.m_DisplayUntil < Now) {
        return false;
    }
    return true;
}

} // namespace

std::vector<THint> parseHints(const QByteArray& Data)
{
    std::vector<THint> Hints;
    if (Data.size() > kMaxHintsDocumentSize) {
        qWarning() << "Hints file too large:" << Data.size() << "bytes, at most" << kMaxHintsDocumentSize
                   << " Thread: " << QThread::currentThreadId();
        return Hints;
    }
    QJsonParseError Error;
    const QJsonDocument Document = QJsonDocument::fromJson(Data, &Error);
    if (Error.error != QJsonParseError::NoError) {
        qWarning() << "Could not parse hints file at offset" << Error.offset << ":" << Error.errorString()
                   << " Thread: " << QThread::currentThreadId();
        return Hints;
    }
    const QJsonArray Array = Document.array(); // empty for an object document
    for (const QJsonValue& Element : Array) {
        THint Hint = readHint(Element.toObject()); // non-objects read as an empty object
        if (!Hint.m_RichText.isEmpty()) {
            Hints.push_back(std::move(Hint));
        }
    }
    return Hints;
}

std::optional<THint> chooseHint(const std::vector<THint>& Hints, const QDateTime& Now)
{
    for (const THint& Hint : Hints) {
        if (Hint.m_HasEmergency && Hint.m_Emergency) {
            return Hint;
        }
    }
    std::vector<const THint*> Candidates;
    for (const THint& Hint : Hints) {
        if (isCandidateAt(Hint, Now)) {
            Candidates.push_back(&Hint);
        }
    }
    if (Candidates.empty()) {
        return std::nullopt;
    }
    for (const THint* Candidate : Candidates) {
        if (isTimeLimited(*Candidate)) {
            return *Candidate;
        }
    }
    // rotate through the undated hints; kept non-negative for times before 1970
    const qint64 Count = static_cast<qint64>(Candidates.size());
    const qint64 Index = ((Now.toMSecsSinceEpoch() % Count) + Count) % Count;
    return *Candidates[static_cast<std::size_t>(Index)];
}

std::optional<THint> chooseHint(const std::vector<THint>& Hints)
{
    return chooseHint(Hints, QDateTime::currentDateTimeUtc());
}

} // namespace shared
