#include "TSystemSurveyCreator.h"

#include "TSystemSurveyValueRetriever.h"

#include <stdexcept>
#include <utility>

namespace systemsurvey {

TSystemSurveyCreator::TSystemSurveyCreator(std::shared_ptr<TSystemSurveyValueRetriever> pRetriever)
    : m_pRetriever(std::move(pRetriever))
{
    if (!m_pRetriever) {
        throw std::invalid_argument("The survey creator needs a value retriever");
    }
}

TSystemSurveyCreator::~TSystemSurveyCreator() = default;

TSystemSurvey TSystemSurveyCreator::createSurvey()
{
    TSystemSurvey Survey;
    Survey.m_Monitors = m_pRetriever->getMonitors();
    Survey.m_OperatingSystem = m_pRetriever->getOperatingSystem();
    Survey.m_MainMemorySize = m_pRetriever->getMainMemorySize();
    Survey.m_Cpu = m_pRetriever->getCpu();
    Survey.m_Gpus = m_pRetriever->getGpus();
    return Survey;
}

} // namespace systemsurvey
