#include "TFunnelEventSender.h"

#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSettings>
#include <QUuid>

namespace zarvo::launcher {

const char* const TFunnelEventSender::kIdKey = "FunnelUuid";

TFunnelEventSender::TFunnelEventSender(std::shared_ptr<QNetworkAccessManager> pNetworkAccessManager)
    : m_pNetworkAccessManager(std::move(pNetworkAccessManager))
{
}

QJsonDocument TFunnelEventSender::makeEvent(const QString& Step, const QString& FirstFlagKey)
{
    QSettings Store;
    QString Id = Store.value(QLatin1String(kIdKey)).toString();
    if (Id.isEmpty()) {
        Id = QUuid::createUuid().toString(QUuid::WithoutBraces);
        Store.setValue(QLatin1String(kIdKey), Id);
    }
    const bool First = Store.value(FirstFlagKey, true).toBool();
    if (First) {
        Store.setValue(FirstFlagKey, false);
    }
    Store.sync();
    QJsonObject Event;
    Event.insert(QStringLiteral("step"), Step);
    Event.insert(QStringLiteral("first"), First);
    Event.insert(QStringLiteral("id"), Id);
    return QJsonDocument(Event);
}

void TFunnelEventSender::send(const QUrl& FunnelUrl, const QString& Step, const QString& FirstFlagKey)
{
    const QJsonDocument Event = makeEvent(Step, FirstFlagKey);
    if (!FunnelUrl.isValid() || FunnelUrl.isRelative()) {
        return;
    }
    QNetworkRequest Request(FunnelUrl);
    Request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    Request.setTransferTimeout(m_TransferTimeoutMs);
    QNetworkReply* pReply = m_pNetworkAccessManager->post(Request, Event.toJson(QJsonDocument::Indented));
    connect(pReply, &QNetworkReply::finished, pReply, &QObject::deleteLater);
}

} // namespace zarvo::launcher
