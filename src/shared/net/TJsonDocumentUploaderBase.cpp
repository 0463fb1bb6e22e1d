#include "TJsonDocumentUploaderBase.h"

#include <QJsonObject>
#include <QJsonParseError>
#include <QJsonValue>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <utility>

namespace shared {

TJsonDocumentUploaderBase::TJsonDocumentUploaderBase(std::shared_ptr<TJsonDocumentHttpPostSender> pPostSender, QObject* pParent)
    : QObject(pParent)
    , m_pPostSender(std::move(pPostSender))
    , m_LastErrorCode(0)
{
    if (!m_pPostSender) {
        throw std::invalid_argument("The JSON uploader needs a post sender");
    }
    connect(m_pPostSender.get(), &TJsonDocumentHttpPostSender::finished, this, &TJsonDocumentUploaderBase::onFinished,
            Qt::UniqueConnection);
}

TJsonDocumentUploaderBase::~TJsonDocumentUploaderBase() = default;

void TJsonDocumentUploaderBase::send(const QUrl& Url, const QJsonDocument& Document)
{
    m_pPostSender->send(Url, Document);
}

void TJsonDocumentUploaderBase::onFinished(QNetworkReply::NetworkError NetworkErrorCode, QString NetworkErrorString,
                                           QByteArray ReplyFromServer)
{
    m_LastErrorMessage.clear();
    m_LastErrorCode = 0;

    if (NetworkErrorCode != QNetworkReply::NoError) {
        fail(NetworkErrorString, 0, QJsonDocument());
        return;
    }

    QJsonParseError ParseError;
    const QJsonDocument Answer = QJsonDocument::fromJson(ReplyFromServer, &ParseError);
    if (ParseError.error != QJsonParseError::NoError) {
        fail(ParseError.errorString(), kInvalidAnswerErrorCode, QJsonDocument());
        return;
    }
    // Only an object can say "accepted"; anything else is no answer we understand.
    if (!Answer.isObject()) {
        fail(QStringLiteral("The server's answer is not a JSON object"), kInvalidAnswerErrorCode, Answer);
        return;
    }

    const QJsonObject Root = Answer.object();
    const QJsonValue ErrorCodeValue = Root.value(QStringLiteral("errorCode"));
    if (ErrorCodeValue.isUndefined()) {
        emit finished(true, Answer);
        return;
    }
    // "errorCode": "7" or 7.5 must not read as 0 and so pass for an acceptance
    const double Number = ErrorCodeValue.toDouble();
    if (!ErrorCodeValue.isDouble() || std::trunc(Number) != Number || Number < std::numeric_limits<qint32>::min() ||
        Number > std::numeric_limits<qint32>::max()) {
        fail(QStringLiteral("The server's answer has no valid \"errorCode\""), kInvalidAnswerErrorCode, Answer);
        return;
    }
    const qint32 ErrorCode = static_cast<qint32>(Number);
    if (ErrorCode == 0) {
        emit finished(true, Answer);
        return;
    }
    QString ErrorMessage = Root.value(QStringLiteral("errorMessage")).toString();
    if (ErrorMessage.isEmpty()) {
        ErrorMessage = QStringLiteral("The server rejected the document with error code %1").arg(ErrorCode);
    }
    fail(ErrorMessage, ErrorCode, Answer);
}

void TJsonDocumentUploaderBase::fail(const QString& ErrorMessage, qint32 ErrorCode, const QJsonDocument& ReplyFromServer)
{
    m_LastErrorMessage = ErrorMessage;
    m_LastErrorCode = ErrorCode;
    emit finished(false, ReplyFromServer);
}

} // namespace shared
