#pragma once

#include "TLauncherFilesystemHelper.h"

#include <QApplication>
#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QTimer>

#include <memory>

class QSplashScreen;
class QSocketNotifier;

namespace zarvo::shared {
class TTranslationManager;
}
namespace shared {
class TDownloadPool;
}
namespace systemsurvey {
class TSystemSurveyUploader;
}

namespace zarvo::launcher {

class TCloudflareCdnTrace;
class TFunnelEventSender;
class TInstallationManager;
class TLauncherConfigurationHandler;
class TLauncherMainWindow;
class TLauncherSelfUpdater;
class TPackage;

// The launcher's own version, compared with the remote launcher build by the self-update.
extern const char* const kLauncherVersion;

// The application object: owns every long-lived object of the launcher.
class TLauncherApplication final : public QApplication {
    Q_OBJECT
    Q_DISABLE_COPY(TLauncherApplication)
public:
    TLauncherApplication(int& Argc, char** Argv);
    ~TLauncherApplication() override;

    static TLauncherApplication* instance();

    // Parses the command line; undeclared options and positional arguments are ignored.
    void parseCommandLine();
    // Logs the version and starts loading the remote configuration.
    void startLoading();

    bool isFirstLaunch() const;
    bool isSelfUpdateSkipped() const;
    bool isShowUi() const;
    QString patchExecutable() const;

    std::shared_ptr<TLauncherFilesystemHelper> filesystemHelper() const { return m_pLauncherFilesystemHelper; }
    std::shared_ptr<::shared::TDownloadPool> downloadPool() const { return m_pDownloadPool; }
    TLauncherConfigurationHandler* configurationHandler() const { return m_pConfigurationHandler.get(); }
    std::shared_ptr<TCloudflareCdnTrace> cdnTrace() const { return m_pCdnTrace; }
    QSplashScreen* splashScreen() const { return m_pSplashScreen.get(); }

    // Ends the event loop with 0 when SIGTERM or SIGINT arrives.
    void handleTerminationSignals();

    TInstallationManager* installationManager() const { return m_pInstallationManager.get(); }
    TLauncherMainWindow* mainWindow() const { return m_pMainWindow.get(); }
    TLauncherSelfUpdater* selfUpdater() const { return m_pSelfUpdater.get(); }

    // Starts an installed client detached (its parameters, LD_LIBRARY_PATH and working
    // directory set to its directory) and ends the launcher 200 ms later.
    void startPackageAndExit(const std::shared_ptr<TPackage>& pPackage);
    // Posts a funnel event to the configuration's funnel address.
    void sendFunnelEvent(const QString& Step, const QString& FirstFlagKey);
    // Shows the main window, creating it on first use.
    void showMainWindow();

    // The message box on screen, if any (the fatal stops and the patch notice).
    QWidget* activeMessageBox() const { return m_pActiveMessageBox; }

public slots:
    void onMainConfigurationLoaded();
    void onPackageConfigurationDownloadsFinished();
    void onLauncherReadyForAction();
    void onAllStartedUpdatesFinished();
    void onClientStartOrInstallTriggeredFromUI(std::shared_ptr<zarvo::launcher::TPackage> pPackage);
    void onClientVerifyTriggeredFromUI(std::shared_ptr<zarvo::launcher::TPackage> pPackage);
    void onDefaultChanged(std::shared_ptr<zarvo::launcher::TPackage> pPackage, bool IsDefault);
    void onMainConfigurationDownloadFailed();
    void onDiskAccessFailed(QString ErrorMessage);
    void onRestartAfterSelfUpdate();
    void onSplashTimerTimeout();
    void onExitTimerTimeout();

private:
    void hideSplash();
    // Replaces the splash screen on display, if any, with one showing the image.
    void showSplash(const QString& ImagePath);
    void refreshExecutableLink();
    void startSurvey();
    int showMessageBox(int Icon, const QString& Title, const QString& Text, int Buttons, QWidget* pParent);

    std::shared_ptr<::shared::TDownloadPool> m_pDownloadPool;
    std::shared_ptr<TLauncherFilesystemHelper> m_pLauncherFilesystemHelper;
    std::shared_ptr<zarvo::shared::TTranslationManager> m_pTranslationManager;
    std::shared_ptr<TCloudflareCdnTrace> m_pCdnTrace;
    std::unique_ptr<TLauncherConfigurationHandler> m_pConfigurationHandler;
    std::unique_ptr<TLauncherSelfUpdater> m_pSelfUpdater;
    std::unique_ptr<TInstallationManager> m_pInstallationManager;
    std::unique_ptr<::systemsurvey::TSystemSurveyUploader> m_pSurveyUploader;
    std::unique_ptr<TLauncherMainWindow> m_pMainWindow;
    std::unique_ptr<QSplashScreen> m_pSplashScreen;
    QCommandLineParser m_CommandLineParser;
    QCommandLineOption m_FirstLaunchOption;
    QCommandLineOption m_SkipSelfUpdateOption;
    QCommandLineOption m_ShowUiOption;
    QCommandLineOption m_PatchOption;
    QTimer m_SplashTimer;
    QElapsedTimer m_ClientStartClock;
    QTimer m_ExitTimer;
    QString m_FunnelKey;
    std::unique_ptr<QSocketNotifier> m_pSignalNotifier;
    std::unique_ptr<TFunnelEventSender> m_pFunnelEventSender;
    QWidget* m_pActiveMessageBox = nullptr;
};

// The program: start-up, single-instance guard, log, event loop. Returns the exit status.
int runLauncher(int& Argc, char** Argv);

} // namespace zarvo::launcher
