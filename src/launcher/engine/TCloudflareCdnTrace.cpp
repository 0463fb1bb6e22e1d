#include "TCloudflareCdnTrace.h"

#include "TDownloadPool.h"

namespace zarvo::launcher {

TCloudflareCdnTrace::TCloudflareCdnTrace(const QUrl& TraceUrl, std::shared_ptr<::shared::TDownloadPool> pDownloadPool)
    : m_TraceUrl(TraceUrl)
    , m_pDownloadPool(std::move(pDownloadPool))
{
    connect(m_pDownloadPool.get(), &::shared::TDownloadPool::success, this, &TCloudflareCdnTrace::onDownloadSuccess);
    connect(m_pDownloadPool.get(), &::shared::TDownloadPool::failed, this, &TCloudflareCdnTrace::onDownloadFailed);
}

void TCloudflareCdnTrace::requestTrace()
{
    if (m_Received || m_Failed || m_UnderWay) {
        return;
    }
    if (m_TraceUrl.isValid() && !m_TraceUrl.isEmpty()) {
        m_Failed = false;
        m_UnderWay = true;
        m_pDownloadPool->download(m_TraceUrl);
    } else {
        m_Failed = true;
        emit diagnosticsTraceReceived(true);
    }
}

void TCloudflareCdnTrace::onDownloadSuccess(QUrl Url, QByteArray Data)
{
    if (Url != m_TraceUrl) {
        return;
    }
    const int Nul = Data.indexOf('\0');
    const QString Text = QString::fromUtf8(Nul >= 0 ? Data.left(Nul) : Data);
    QString Fl, Ts, Colo, Ip;
    for (const QString& Line : Text.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const QStringList Pieces = Line.split(QLatin1Char('='), Qt::SkipEmptyParts);
        if (Pieces.size() != 2) {
            continue;
        }
        const QString Key = Pieces[0];
        const QString Value = Pieces[1].trimmed();
        if (Key.compare(QLatin1String("fl"), Qt::CaseInsensitive) == 0) {
            Fl = Value;
        } else if (Key.compare(QLatin1String("ts"), Qt::CaseInsensitive) == 0) {
            Ts = Value;
        } else if (Key.compare(QLatin1String("colo"), Qt::CaseInsensitive) == 0) {
            Colo = Value;
        } else if (Key.compare(QLatin1String("ip"), Qt::CaseInsensitive) == 0) {
            Ip = Value;
        }
    }
    m_Fl = Fl;
    m_Ts = Ts;
    m_Colo = Colo;
    m_Ip = Ip;
    m_Received = true;
    m_Failed = false;
    m_UnderWay = false;
    emit diagnosticsTraceReceived(false);
}

void TCloudflareCdnTrace::onDownloadFailed(QUrl Url, QNetworkReply::NetworkError, QString)
{
    if (Url != m_TraceUrl) {
        return;
    }
    m_UnderWay = false;
    m_Received = false;
    m_Failed = true;
    emit diagnosticsTraceReceived(true);
}

} // namespace zarvo::launcher
