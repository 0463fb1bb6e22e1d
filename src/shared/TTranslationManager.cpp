#include "TTranslationManager.h"

#include <QCoreApplication>
#include <QTranslator>

namespace zarvo::shared {

TTranslationManager::TTranslationManager() = default;
TTranslationManager::~TTranslationManager() = default;

bool TTranslationManager::loadAndInstall(QCoreApplication* pApplication, const QString& FileName, const QString& Directory)
{
    if (m_pTranslator) {
        pApplication->removeTranslator(m_pTranslator.get());
        m_pTranslator.reset();
    }
    auto pTranslator = std::make_unique<QTranslator>();
    if (!pTranslator->load(FileName, Directory)) {
        return false;
    }
    pApplication->installTranslator(pTranslator.get());
    m_pTranslator = std::move(pTranslator);
    return true;
}

} // namespace zarvo::shared
