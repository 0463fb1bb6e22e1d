#include "TSystemSurveyUploader.h"

#include "TSystemSurveyAsJsonDocumentCreator.h"

#include <QTimer>

#include <stdexcept>
#include <utility>

namespace systemsurvey {

TSystemSurveyUploader::TSystemSurveyUploader(std::shared_ptr<shared::TJsonDocumentHttpPostSender> pPostSender, const QUrl& TargetUrl,
                                             std::shared_ptr<TSystemSurveyAsJsonDocumentCreator> pDocumentCreator, QObject* pParent)
    : TJsonDocumentUploaderBase(std::move(pPostSender), pParent)
    , m_TargetUrl(TargetUrl)
    , m_pDocumentCreator(std::move(pDocumentCreator))
{
    if (!m_pDocumentCreator) {
        throw std::invalid_argument("The survey uploader needs a document creator");
    }
}

TSystemSurveyUploader::~TSystemSurveyUploader() = default;

void TSystemSurveyUploader::upload()
{
    if (!m_TargetUrl.isValid() || m_TargetUrl.isRelative()) {
        // collecting blocks for the release tool, so do not collect what cannot be sent
        const QString Message = QStringLiteral("The survey URL \"%1\" is not a valid absolute URL").arg(m_TargetUrl.toString());
        QTimer::singleShot(0, this, [this, Message]() { onFinished(QNetworkReply::ProtocolUnknownError, Message, QByteArray()); });
        return;
    }
    send(m_TargetUrl, m_pDocumentCreator->createDocument());
}

} // namespace systemsurvey
