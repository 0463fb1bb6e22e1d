#include "TSystemSurveyAsJsonDocumentCreator.h"

#include "TSystemSurveyCreator.h"
#include "TSystemSurveyToJsonConverter.h"

#include <stdexcept>
#include <utility>

namespace systemsurvey {

TSystemSurveyAsJsonDocumentCreator::TSystemSurveyAsJsonDocumentCreator(std::shared_ptr<TSystemSurveyCreator> pSurveyCreator,
                                                                       std::shared_ptr<TSystemSurveyToJsonConverter> pConverter)
    : m_pSurveyCreator(std::move(pSurveyCreator))
    , m_pConverter(std::move(pConverter))
{
    if (!m_pSurveyCreator || !m_pConverter) {
        throw std::invalid_argument("The survey document creator needs a survey creator and a converter");
    }
}

TSystemSurveyAsJsonDocumentCreator::~TSystemSurveyAsJsonDocumentCreator() = default;

QJsonDocument TSystemSurveyAsJsonDocumentCreator::createDocument()
{
    return m_pConverter->convert(m_pSurveyCreator->createSurvey());
}

} // namespace systemsurvey
