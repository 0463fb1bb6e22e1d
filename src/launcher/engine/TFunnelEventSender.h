#pragma once

#include <QJsonDocument>
#include <QObject>
#include <QUrl>

#include <memory>

class QNetworkAccessManager;

namespace zarvo::launcher {

// Posts the start-up funnel events ("launcher_started", "launcher_downloaded",
// "launcher_verified") with the user's funnel id and whether the step is reached for the
// first time. The id and the first-flags live in the per-user settings store.
class TFunnelEventSender final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY(TFunnelEventSender)
public:
    static const char* const kIdKey; // "FunnelUuid"

    explicit TFunnelEventSender(std::shared_ptr<QNetworkAccessManager> pNetworkAccessManager);

    // Builds the event (updating the settings store) and posts it; the answer is ignored.
    void send(const QUrl& FunnelUrl, const QString& Step, const QString& FirstFlagKey);
    // Inactivity time-out of every event posted from now on (0: none).
    void setTransferTimeout(int Milliseconds) { m_TransferTimeoutMs = Milliseconds; }
    // The event document; creates the id and clears the first-flag in the store.
    static QJsonDocument makeEvent(const QString& Step, const QString& FirstFlagKey);

private:
    std::shared_ptr<QNetworkAccessManager> m_pNetworkAccessManager;
    int m_TransferTimeoutMs = 30000;
};

} // namespace zarvo::launcher
