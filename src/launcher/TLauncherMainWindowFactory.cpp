#include "TLauncherMainWindowFactory.h"

#include "TLauncherApplication.h"
#include "TLauncherConfigurationHandler.h"
#include "TLauncherMainWindow.h"

#include <QDebug>
#include <QThread>

namespace zarvo::launcher {

void TMainWindowDeleter::operator()(TLauncherMainWindow* pWindow) const
{
    delete pWindow;
}

TMainWindowPointer createMainWindow(TLauncherApplication& Application, const std::shared_ptr<TLauncherConfigurationReader>& pConfiguration,
                                    const std::shared_ptr<::shared::TDownloadPool>& pDownloadPool,
                                    const std::shared_ptr<TCloudflareCdnTrace>& pCdnTrace, TInstallationManager* pManager)
{
    std::vector<std::shared_ptr<TPackage>> Packages;
    if (pConfiguration) {
        Packages = pConfiguration->getPackagesForThisMachine();
    }
    TMainWindowPointer pWindow(new TLauncherMainWindow(pConfiguration, Packages, pConfiguration && pConfiguration->getShowPackageNames(),
                                                       pDownloadPool, pCdnTrace, pManager, QString::fromLatin1(kLauncherVersion)));
    TLauncherMainWindow* pRaw = pWindow.get();
    QObject::connect(Application.configurationHandler(), &TLauncherConfigurationHandler::hintsAreaDataReceived, pRaw,
                     &TLauncherMainWindow::setHints);
    QObject::connect(pRaw, &TLauncherMainWindow::defaultChanged, &Application, &TLauncherApplication::onDefaultChanged);
    QObject::connect(pRaw, &TLauncherMainWindow::clientPackageButtonClicked, &Application,
                     &TLauncherApplication::onClientStartOrInstallTriggeredFromUI);
    QObject::connect(pRaw, &TLauncherMainWindow::clientPackageVerifyButtonClicked, &Application,
                     &TLauncherApplication::onClientVerifyTriggeredFromUI);
    Application.sendFunnelEvent(QStringLiteral("launcher_started"), QStringLiteral("FunnelStartedFirst"));
    pWindow->show();
    qInfo() << "main window shown" << " Thread: " << QThread::currentThreadId();
    return pWindow;
}

void showExistingMainWindow(TLauncherMainWindow* pWindow)
{
    pWindow->show();
}

void closeMainWindow(TLauncherMainWindow* pWindow)
{
    pWindow->close();
}

QWidget* mainWindowWidget(TLauncherMainWindow* pWindow)
{
    return pWindow;
}

} // namespace zarvo::launcher
