#include "QTextBrowserWithNetwork.h"

#include "SafeLinks.h"
#include "TDownloadPool.h"

#include <QAbstractTextDocumentLayout>
#include <QDebug>
#include <QImage>
#include <QMetaEnum>
#include <QTextDocument>

#include <cmath>

namespace shared {

QTextBrowserWithNetwork::QTextBrowserWithNetwork(QWidget* pParent, std::shared_ptr<TDownloadPool> pDownloadPool)
    : QTextBrowser(pParent)
    , m_pDownloadPool(std::move(pDownloadPool))
{
    if (m_pDownloadPool) {
        connect(m_pDownloadPool.get(), &TDownloadPool::success, this, &QTextBrowserWithNetwork::onDownloadFinished);
        connect(m_pDownloadPool.get(), &TDownloadPool::failed, this, &QTextBrowserWithNetwork::onDownloadFailed);
    }
}

QSize QTextBrowserWithNetwork::sizeHint() const
{
    const QSizeF Size = document()->size();
    return QSize(static_cast<int>(std::floor(Size.width() + 0.5)), static_cast<int>(std::floor(Size.height() + 0.5)));
}

int QTextBrowserWithNetwork::heightForWidth(int) const
{
    return static_cast<int>(document()->size().height());
}

QVariant QTextBrowserWithNetwork::loadResource(int Type, const QUrl& Name)
{
    const auto Cached = m_ResourceCache.constFind(Name);
    if (Cached != m_ResourceCache.constEnd()) {
        return Cached.value();
    }
    // The text comes from a downloaded document: it may name web resources only. A
    // file: or qrc: name (or a relative one, resolved against nothing) would make the
    // launcher read local files or devices on the document's behalf.
    if (!isWebUrl(Name)) {
        qWarning() << "Refusing to load a resource that is no http or https address:" << Name.toString().left(200);
        m_ResourceCache.insert(Name, QVariant());
        return QVariant();
    }
    QVariant Placeholder;
    if (Type == QTextDocument::ImageResource) {
        QImage Image(32, 32, QImage::Format_ARGB32_Premultiplied);
        Image.fill(Qt::transparent);
        Placeholder = Image;
    } else {
        Placeholder = Type;
    }
    m_ResourceCache.insert(Name, Placeholder);
    m_Requested.insert(Name, true);
    if (m_pDownloadPool) {
        m_pDownloadPool->download(Name);
    }
    return Placeholder;
}

void QTextBrowserWithNetwork::onDownloadFinished(QUrl Url, QByteArray Data)
{
    if (!m_Requested.remove(Url)) {
        return;
    }
    m_ResourceCache.insert(Url, Data);
    // The document keeps its own copy of every resource it loaded; setting the HTML
    // again drops it, so the images are looked up here once more.
    setHtml(toHtml());
    updateGeometry();
}

void QTextBrowserWithNetwork::onDownloadFailed(QUrl Url, QNetworkReply::NetworkError Code, QString ErrorString)
{
    if (!m_Requested.remove(Url)) {
        return;
    }
    qWarning() << "Download failed:" << Url << QMetaEnum::fromType<QNetworkReply::NetworkError>().valueToKey(Code) << ErrorString;
}

} // namespace shared
