#include "TJsonDocumentHttpPostSender.h"

#include <QNetworkAccessManager>
#include <QNetworkRequest>

#include <stdexcept>
#include <utility>

namespace shared {

TJsonDocumentHttpPostSender::TJsonDocumentHttpPostSender(std::shared_ptr<QNetworkAccessManager> pNetworkAccessManager, QObject* pParent)
    : QObject(pParent)
    , m_pNetworkAccessManager(std::move(pNetworkAccessManager))
{
    if (!m_pNetworkAccessManager) {
        throw std::invalid_argument("The JSON sender needs a network access manager");
    }
    connect(m_pNetworkAccessManager.get(), &QNetworkAccessManager::finished, this, &TJsonDocumentHttpPostSender::onFinished,
            Qt::UniqueConnection);
}

TJsonDocumentHttpPostSender::~TJsonDocumentHttpPostSender()
{
    m_pNetworkAccessManager->disconnect(this);
    const QSet<QNetworkReply*> Replies = std::exchange(m_RunningReplies, {});
    for (QNetworkReply* pReply : Replies) {
        pReply->disconnect(this);
        pReply->abort();
        pReply->deleteLater();
    }
}

void TJsonDocumentHttpPostSender::send(const QUrl& Url, const QJsonDocument& Document)
{
    QNetworkRequest Request(Url);
    Request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    Request.setHeader(QNetworkRequest::ContentDispositionHeader, QStringLiteral("form-data; name=\"metadata\""));
    Request.setTransferTimeout(m_TransferTimeoutMs);
    QNetworkReply* pReply = m_pNetworkAccessManager->post(Request, Document.toJson(QJsonDocument::Compact));
    m_RunningReplies.insert(pReply);
}

void TJsonDocumentHttpPostSender::onFinished(QNetworkReply* Reply)
{
    // a reply of another user of the manager, or one already reported
    if (!m_RunningReplies.remove(Reply)) {
        return;
    }
    const QByteArray Body = Reply->readAll();
    const QString ErrorString = Reply->errorString();
    const QNetworkReply::NetworkError ErrorCode = Reply->error();
    Reply->deleteLater();
    emit finished(ErrorCode, ErrorString, Body);
}

} // namespace shared
