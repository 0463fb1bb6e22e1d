#pragma once

#include <QJsonDocument>

#include <memory>

namespace systemsurvey {

class TSystemSurveyCreator;
class TSystemSurveyToJsonConverter;

// Collects a survey and converts it in one step.
class TSystemSurveyAsJsonDocumentCreator {
public:
    // Throws std::invalid_argument when either is null.
    TSystemSurveyAsJsonDocumentCreator(std::shared_ptr<TSystemSurveyCreator> pSurveyCreator,
                                       std::shared_ptr<TSystemSurveyToJsonConverter> pConverter);
    virtual ~TSystemSurveyAsJsonDocumentCreator();

    virtual QJsonDocument createDocument();

private:
    std::shared_ptr<TSystemSurveyCreator> m_pSurveyCreator;
    std::shared_ptr<TSystemSurveyToJsonConverter> m_pConverter;
};

} // namespace systemsurvey
