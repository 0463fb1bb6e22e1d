#pragma once

#include <QMap>
#include <QNetworkReply>
#include <QTextBrowser>
#include <QUrl>
#include <QVariant>

#include <memory>

namespace shared {

class TDownloadPool;

// A rich-text browser whose remote resources (images in hint texts) come through the
// download pool: an "http" or "https" resource first shows a transparent placeholder and
// appears once the pool has delivered it. Every other name (local files, embedded
// resources, other schemes) stays empty: the texts come from downloaded documents.
class QTextBrowserWithNetwork final : public QTextBrowser {
    Q_OBJECT
public:
    QTextBrowserWithNetwork(QWidget* pParent, std::shared_ptr<TDownloadPool> pDownloadPool);

    // The document's size, rounded.
    QSize sizeHint() const override;
    // The document's height, whatever the width.
    int heightForWidth(int Width) const override;
    QVariant loadResource(int Type, const QUrl& Name) override;

    // Whether a download of Url was asked for and has not arrived yet (tests, diagnostics).
    bool isWaitingFor(const QUrl& Url) const { return m_Requested.contains(Url); }

private slots:
    void onDownloadFinished(QUrl Url, QByteArray Data);
    void onDownloadFailed(QUrl Url, QNetworkReply::NetworkError Code, QString ErrorString);

private:
    std::shared_ptr<TDownloadPool> m_pDownloadPool;
    QMap<QUrl, QVariant> m_ResourceCache;
    // Remote resources this browser asked the pool for and still waits for. The pool is
    // shared by the whole launcher (configuration, packages, CDN trace): only these
    // bodies are kept, the others are none of this browser's business.
    QMap<QUrl, bool> m_Requested;
};

} // namespace shared
