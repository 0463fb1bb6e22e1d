#pragma once

#include <QNetworkReply>
#include <QObject>
#include <QUrl>

#include <memory>

namespace shared {
class TDownloadPool;
}

namespace zarvo::launcher {

// Fetches, on demand, the CDN edge's plain-text trace (fl, ts, colo, ip) that ends a
// download failure report. At most one fetch runs; once received or failed it stays so.
class TCloudflareCdnTrace final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY(TCloudflareCdnTrace)
public:
    TCloudflareCdnTrace(const QUrl& TraceUrl, std::shared_ptr<::shared::TDownloadPool> pDownloadPool);

    // Starts a fetch unless one was received, failed or is under way.
    void requestTrace();

    QString m_Fl;
    QString m_Ts;
    QString m_Colo;
    QString m_Ip;
    bool m_Received = false;
    bool m_Failed = false;
    bool m_UnderWay = false;

signals:
    void diagnosticsTraceReceived(bool Failed);

public slots:
    void onDownloadSuccess(QUrl Url, QByteArray Data);
    void onDownloadFailed(QUrl Url, QNetworkReply::NetworkError Code, QString ErrorString);

private:
    QUrl m_TraceUrl;
    std::shared_ptr<::shared::TDownloadPool> m_pDownloadPool;
};

} // namespace zarvo::launcher
