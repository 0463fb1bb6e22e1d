#pragma once

#include <memory>

class QWidget;

namespace shared {
class TDownloadPool;
}

namespace zarvo::launcher {

class TCloudflareCdnTrace;
class TInstallationManager;
class TLauncherApplication;
class TLauncherConfigurationReader;
class TLauncherMainWindow;

struct TMainWindowDeleter {
    void operator()(TLauncherMainWindow* pWindow) const;
};
using TMainWindowPointer = std::unique_ptr<TLauncherMainWindow, TMainWindowDeleter>;

// Creates the main window for the configuration, connects it to the application's flow
// and shows it.
TMainWindowPointer createMainWindow(TLauncherApplication& Application,
                                                      const std::shared_ptr<TLauncherConfigurationReader>& pConfiguration,
                                                      const std::shared_ptr<::shared::TDownloadPool>& pDownloadPool,
                                                      const std::shared_ptr<TCloudflareCdnTrace>& pCdnTrace, TInstallationManager* pManager);
void showExistingMainWindow(TLauncherMainWindow* pWindow);
void closeMainWindow(TLauncherMainWindow* pWindow);
QWidget* mainWindowWidget(TLauncherMainWindow* pWindow);

} // namespace zarvo::launcher
