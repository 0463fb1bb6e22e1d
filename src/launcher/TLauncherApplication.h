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

namespace zarvo::launcher {

class TCloudflareCdnTrace;
class TLauncherConfigurationHandler;

// The launcher's own version, compared with the remote launcher build by the self-update.
extern const char* const kLauncherVersion;

// The application object: owns every long-lived object of the launcher.
class TLauncherApplication : public QApplication {
    Q_OBJECT
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

public slots:
    void onMainConfigurationLoaded();
    void onMainConfigurationDownloadFailed();
    void onDiskAccessFailed(QString ErrorMessage);
    void onPackageConfigurationDownloadsFinished();
    void onSplashTimerTimeout();
    void onExitTimerTimeout();

private:
    std::shared_ptr<::shared::TDownloadPool> m_pDownloadPool;
    std::shared_ptr<TLauncherFilesystemHelper> m_pLauncherFilesystemHelper;
    std::shared_ptr<zarvo::shared::TTranslationManager> m_pTranslationManager;
    std::shared_ptr<TCloudflareCdnTrace> m_pCdnTrace;
    std::unique_ptr<TLauncherConfigurationHandler> m_pConfigurationHandler;
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
};

// The program: start-up, single-instance guard, log, event loop. Returns the exit status.
int runLauncher(int& Argc, char** Argv);

} // namespace zarvo::launcher
