#pragma once

#include <QString>

#include <memory>

class QCoreApplication;
class QTranslator;

namespace zarvo::shared {

// Owns the translator installed into the application.
class TTranslationManager {
public:
    TTranslationManager();
    ~TTranslationManager();

    // Removes the current translator (if any), then loads FileName (with QTranslator's
    // suffix rules) from Directory and installs it when loading succeeded.
    bool loadAndInstall(QCoreApplication* pApplication, const QString& FileName, const QString& Directory);
    bool hasTranslator() const { return m_pTranslator != nullptr; }

private:
    std::unique_ptr<QTranslator> m_pTranslator;
};

} // namespace zarvo::shared
