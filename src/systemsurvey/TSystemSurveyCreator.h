#pragma once

#include "TSystemSurvey.h"

#include <memory>

namespace systemsurvey {

class TSystemSurveyValueRetriever;

// Asks the retriever for every value and assembles one survey.
class TSystemSurveyCreator {
public:
    // Throws std::invalid_argument for a null retriever.
    explicit TSystemSurveyCreator(std::shared_ptr<TSystemSurveyValueRetriever> pRetriever);
    virtual ~TSystemSurveyCreator();

    // Collects afresh: monitors, operating system, memory, processor, graphics adapters.
    virtual TSystemSurvey createSurvey();

private:
    std::shared_ptr<TSystemSurveyValueRetriever> m_pRetriever;
};

} // namespace systemsurvey
