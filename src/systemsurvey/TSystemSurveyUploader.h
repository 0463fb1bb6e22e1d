#pragma once

#include "TJsonDocumentUploaderBase.h"

#include <QUrl>

#include <memory>

namespace systemsurvey {

class TSystemSurveyAsJsonDocumentCreator;

// Collects the survey and posts it to the survey endpoint; the answer arrives as
// finished(UploadSuccessful, ReplyFromServer).
class TSystemSurveyUploader : public shared::TJsonDocumentUploaderBase {
    Q_OBJECT
public:
    // Throws std::invalid_argument when the sender or the document creator is null.
    TSystemSurveyUploader(std::shared_ptr<shared::TJsonDocumentHttpPostSender> pPostSender, const QUrl& TargetUrl,
                          std::shared_ptr<TSystemSurveyAsJsonDocumentCreator> pDocumentCreator, QObject* pParent = nullptr);
    ~TSystemSurveyUploader() override;

    // With an invalid target URL nothing is collected or sent, and finished(false, ...)
    // follows from the event loop like any other failure.
    virtual void upload();

    QUrl targetUrl() const { return m_TargetUrl; }

private:
    QUrl m_TargetUrl;
    std::shared_ptr<TSystemSurveyAsJsonDocumentCreator> m_pDocumentCreator;
};

} // namespace systemsurvey
