#pragma once

#include "TSystemSurvey.h"

#include <QJsonDocument>

namespace systemsurvey {

// Turns a survey into the JSON document the survey endpoint takes: "dataType" 0, this
// machine's "clientID", "monitors", "operatingSystem", "mainMemorySize", "cpu", "gpu".
class TSystemSurveyToJsonConverter {
public:
    virtual ~TSystemSurveyToJsonConverter();

    virtual QJsonDocument convert(const TSystemSurvey& Survey);
};

} // namespace systemsurvey
