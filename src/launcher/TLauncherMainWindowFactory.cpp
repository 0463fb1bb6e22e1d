#include "TLauncherMainWindowFactory.h"

#include <QWidget>

namespace zarvo::launcher {

class TLauncherMainWindow : public QWidget {
};

void TMainWindowDeleter::operator()(TLauncherMainWindow* pWindow) const
{
    delete pWindow;
}

TMainWindowPointer createMainWindow(TLauncherApplication&, const std::shared_ptr<TLauncherConfigurationReader>&,
                                    const std::shared_ptr<::shared::TDownloadPool>&, const std::shared_ptr<TCloudflareCdnTrace>&, TInstallationManager*)
{
    TMainWindowPointer pWindow(new TLauncherMainWindow());
    pWindow->show();
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
