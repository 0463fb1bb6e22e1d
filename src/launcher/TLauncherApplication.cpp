#include "TLauncherApplication.h"

#include "FirstInstanceTester.h"
#include "LauncherLogging.h"
#include "TCloudflareCdnTrace.h"
#include "TDownloadPool.h"
#include "TFunnelEventSender.h"
#include "THint.h"
#include "TInstallationManager.h"
#include "TJsonDocumentHttpPostSender.h"
#include "TLauncherConfigurationHandler.h"
#include "TLauncherMainWindow.h"
#include "TLauncherSelfUpdater.h"
#include "TSystemSurveyAsJsonDocumentCreator.h"
#include "TSystemSurveyCreator.h"
#include "TSystemSurveyToJsonConverter.h"
#include "TSystemSurveyUploader.h"
#include "TSystemSurveyValueRetriever.h"
#include "TTranslationManager.h"

#include <QDir>
#include <QFileInfo>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QNetworkProxyFactory>
#include <QPointer>
#include <QProcess>
#include <QStandardPaths>

#include <QDebug>
#include <QPixmap>
#include <QSocketNotifier>
#include <QSplashScreen>
#include <QThread>
#include <QThreadPool>

#include <csignal>
#include <cstdlib>
#include <sys/socket.h>
#include <unistd.h>

void torvaneInitImageResources();

namespace zarvo::launcher {

const char* const kLauncherVersion = "0.0.8";

namespace {

TLauncherApplication* g_pApplication = nullptr;
// how long the end of the program waits for busy workers (quitting must take under 5 s)
constexpr int kShutdownGraceMs = 2500;
int g_SignalSockets[2] = {-1, -1};

void onTerminationSignal(int)
{
    const char Byte = 1;
    if (g_SignalSockets[0] >= 0) {
        [[maybe_unused]] const ssize_t Ignored = ::write(g_SignalSockets[0], &Byte, 1);
    }
}

} // namespace

TLauncherApplication::TLauncherApplication(int& Argc, char** Argv)
    : QApplication(Argc, Argv)
    , m_pDownloadPool(std::make_shared<::shared::TDownloadPool>(
          6, std::make_shared<::shared::QNetworkAccessManagerWrapper>(std::make_shared<QNetworkAccessManager>()), true))
    , m_pLauncherFilesystemHelper(std::make_shared<TLauncherFilesystemHelper>())
    , m_pTranslationManager(std::make_shared<zarvo::shared::TTranslationManager>())
    , m_pCdnTrace(
          std::make_shared<TCloudflareCdnTrace>(m_pLauncherFilesystemHelper->getSettings()->m_CdnDiagnosticsTraceUrl, m_pDownloadPool))
    , m_pConfigurationHandler(std::make_unique<TLauncherConfigurationHandler>(
          m_pDownloadPool, m_pLauncherFilesystemHelper, m_pLauncherFilesystemHelper->getSettings()->m_LauncherConfigurationUrl))
    , m_pSelfUpdater(std::make_unique<TLauncherSelfUpdater>(m_pLauncherFilesystemHelper))
    , m_FirstLaunchOption({QStringLiteral("l"), QStringLiteral("first-launch")},
                          QStringLiteral("Automatically download default packages when starting up."))
    , m_SkipSelfUpdateOption({QStringLiteral("s"), QStringLiteral("skip-selfupdate")},
                             QStringLiteral("Do not perform self-update check on launch."))
    , m_ShowUiOption({QStringLiteral("u"), QStringLiteral("show-ui")},
                     QStringLiteral("Show list of available packages after intial checks."))
    , m_PatchOption({QStringLiteral("p"), QStringLiteral("patch")},
                    QStringLiteral("Start update of <patchexecutable> without user interaction."), QStringLiteral("patchexecutable"))
    , m_FunnelKey(QStringLiteral("FunnelUuid"))
{
    torvaneInitImageResources();
    const auto pSettings = m_pLauncherFilesystemHelper->getSettings();
    m_pDownloadPool->setTransferTimeout(pSettings->transferTimeoutMs());

    m_CommandLineParser.addOption(m_FirstLaunchOption);
    m_CommandLineParser.addOption(m_SkipSelfUpdateOption);
    m_CommandLineParser.addOption(m_ShowUiOption);
    m_CommandLineParser.addOption(m_PatchOption);
    m_ExitTimer.setInterval(200);

    g_pApplication = this;

    // beside the executable (a copy unpacked anywhere), else where a system installation
    // in PREFIX/bin keeps its data: PREFIX/share/torvane-launcher
    if (!m_pTranslationManager->loadAndInstall(this, QStringLiteral("launcher.en"), QCoreApplication::applicationDirPath())) {
        m_pTranslationManager->loadAndInstall(
            this, QStringLiteral("launcher.en"),
            QDir::cleanPath(QCoreApplication::applicationDirPath() + QStringLiteral("/../share/torvane-launcher")));
    }

    // every request honours the desktop's proxy configuration (http_proxy, https_proxy,
    // no_proxy in the environment)
    QNetworkProxyFactory::setUseSystemConfiguration(true);

    setApplicationName(QStringLiteral("Torvane Online"));
    setApplicationDisplayName(applicationName());
    setOrganizationName(QStringLiteral("Halvern GmbH"));
    setOrganizationDomain(QStringLiteral("halvern.example"));

    m_SplashTimer.setSingleShot(true);
    m_SplashTimer.setInterval(static_cast<int>(pSettings->m_WaitNotificationTimeout.count()));
    connect(&m_SplashTimer, &QTimer::timeout, this, &TLauncherApplication::onSplashTimerTimeout);
    connect(&m_ExitTimer, &QTimer::timeout, this, &TLauncherApplication::onExitTimerTimeout);

    TLauncherConfigurationHandler* pHandler = m_pConfigurationHandler.get();
    connect(pHandler, &TLauncherConfigurationHandler::mainConfigurationLoaded, this, &TLauncherApplication::onMainConfigurationLoaded);
    connect(pHandler, &TLauncherConfigurationHandler::mainConfigurationDownloadFailed, this,
            &TLauncherApplication::onMainConfigurationDownloadFailed);
    connect(pHandler, &TLauncherConfigurationHandler::diskAccessFailed, this, &TLauncherApplication::onDiskAccessFailed);
    connect(pHandler, &TLauncherConfigurationHandler::packageConfigurationDownloadsFinished, this,
            &TLauncherApplication::onPackageConfigurationDownloadsFinished);
    connect(m_pSelfUpdater.get(), &TLauncherSelfUpdater::updateDownloadFinishedAndRestartRequired, this,
            &TLauncherApplication::onRestartAfterSelfUpdate);
    connect(m_pSelfUpdater.get(), &TLauncherSelfUpdater::updateFailed, this, &TLauncherApplication::onLauncherReadyForAction);
    connect(m_pSelfUpdater.get(), &TLauncherSelfUpdater::diskAccessFailed, this, &TLauncherApplication::onDiskAccessFailed);
    m_pFunnelEventSender = std::make_unique<TFunnelEventSender>(std::make_shared<QNetworkAccessManager>());
    m_pFunnelEventSender->setTransferTimeout(pSettings->transferTimeoutMs());
}

TLauncherApplication::~TLauncherApplication()
{
    m_pMainWindow.reset();
    if (g_pApplication == this) {
        g_pApplication = nullptr;
    }
}

TLauncherApplication* TLauncherApplication::instance()
{
    return g_pApplication;
}

void TLauncherApplication::parseCommandLine()
{
    m_CommandLineParser.parse(QCoreApplication::arguments());
}

bool TLauncherApplication::isFirstLaunch() const
{
    return m_CommandLineParser.isSet(m_FirstLaunchOption);
}

bool TLauncherApplication::isSelfUpdateSkipped() const
{
    return m_CommandLineParser.isSet(m_SkipSelfUpdateOption);
}

bool TLauncherApplication::isShowUi() const
{
    return m_CommandLineParser.isSet(m_ShowUiOption);
}

QString TLauncherApplication::patchExecutable() const
{
    return m_CommandLineParser.value(m_PatchOption);
}

void TLauncherApplication::startLoading()
{
    qInfo() << "Version: " << QString::fromLatin1(kLauncherVersion) << " Thread: " << QThread::currentThreadId();
    if (m_pConfigurationHandler->getAuthenticator().isRequired()) {
        qInfo() << "documents are accepted only with a signature of one of" << m_pConfigurationHandler->getAuthenticator().keyCount()
                << "configured keys";
    } else {
        qWarning() << "documents are not authenticated: no public keys in the [SECURITY] group of the settings";
    }
    qInfo() << "load configuration"
            << " Thread: " << QThread::currentThreadId();
    m_pConfigurationHandler->startDownload();
    m_SplashTimer.start();
}

void TLauncherApplication::onMainConfigurationLoaded()
{
    qInfo() << "configuration loaded" << (m_pConfigurationHandler->isLocalCopy() ? "from the cache" : "from the server")
            << " Thread: " << QThread::currentThreadId();
    startSurvey();
    m_pConfigurationHandler->queuePackageConfigurationDownloads();
    refreshExecutableLink();
}

void TLauncherApplication::startSurvey()
{
    const auto pConfiguration = m_pConfigurationHandler->getConfiguration();
    const QUrl SurveyUrl = pConfiguration ? pConfiguration->getHardwareSurveyUrl() : QUrl();
    if (!SurveyUrl.isValid() || SurveyUrl.isEmpty()) {
        return;
    }
    using namespace ::systemsurvey;
    auto pCreator = std::make_shared<TSystemSurveyCreator>(std::make_shared<TSystemSurveyValueRetriever>());
    auto pDocumentCreator =
        std::make_shared<TSystemSurveyAsJsonDocumentCreator>(pCreator, std::make_shared<TSystemSurveyToJsonConverter>());
    auto pSender = std::make_shared<::shared::TJsonDocumentHttpPostSender>(std::make_shared<QNetworkAccessManager>());
    pSender->setTransferTimeout(m_pLauncherFilesystemHelper->getSettings()->transferTimeoutMs());
    m_pSurveyUploader = std::make_unique<TSystemSurveyUploader>(pSender, SurveyUrl, pDocumentCreator);
    m_pSurveyUploader->upload();
}

void TLauncherApplication::refreshExecutableLink()
{
    const QString Directory = QDir(QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation)).absolutePath();
    const QString Target = QCoreApplication::applicationFilePath();
    const QString Link = m_pLauncherFilesystemHelper->joinPaths({Directory, QFileInfo(Target).fileName()});
    const QFileInfo Existing(Link);
    if (Existing.isSymLink() || !Existing.exists()) {
        QFile::remove(Link);
        QDir().mkpath(Directory);
        QFile::link(Target, Link);
    }
}

void TLauncherApplication::onPackageConfigurationDownloadsFinished()
{
    const auto pConfiguration = m_pConfigurationHandler->getConfiguration();
    if (pConfiguration) {
        for (const auto& pPackage : pConfiguration->getPackagesForThisMachine()) {
            qInfo() << "package offered:" << pPackage->m_Name << pPackage->currentConfiguration()->versionLabel()
                    << " Thread: " << QThread::currentThreadId();
        }
    }
    // the self-update decision
    try {
        const auto pLauncher = pConfiguration ? pConfiguration->getLauncherPackage() : nullptr;
        if (pLauncher && pLauncher->currentConfiguration() && !pLauncher->currentConfiguration()->m_Valid) {
            qCritical().noquote() << "The launcher's own package configuration was refused, no self-update:"
                                  << pLauncher->currentConfiguration()->m_Error;
        } else if (!isSelfUpdateSkipped() && pLauncher && pLauncher->currentConfiguration()) {
            const QString Version = pLauncher->currentConfiguration()->m_Version;
            const QString Remote = Version.isEmpty() ? QStringLiteral("?") : Version;
            // a launcher installed by the system's package manager (/usr/bin) cannot replace
            // itself: it is updated with the next package instead
            const bool Replaceable = QFileInfo(QCoreApplication::applicationDirPath()).isWritable();
            if (Remote != QLatin1String(kLauncherVersion) && !Replaceable) {
                qWarning() << "launcher " << Remote << " is available, but " << QCoreApplication::applicationDirPath()
                           << " is not writable: no self-update"
                           << " Thread: " << QThread::currentThreadId();
            }
            if (Remote != QLatin1String(kLauncherVersion) && Replaceable) {
                m_pSelfUpdater->startSelfUpdate(pLauncher);
                showSplash(QStringLiteral(":/images/launcher/LauncherLogo_UpdatingLauncher.png"));
                return;
            }
        }
        m_pSelfUpdater->cleanupOldLauncherVersion();
    } catch (const std::runtime_error& Error) {
        onDiskAccessFailed(QString::fromUtf8(Error.what()));
        return;
    }
    onLauncherReadyForAction();
}

void TLauncherApplication::onRestartAfterSelfUpdate()
{
    QStringList Arguments = QCoreApplication::arguments();
    Arguments.append(QStringLiteral("--%1").arg(QStringLiteral("skip-selfupdate")));
    // the program path stays the first argument, as the command line had it
    const bool Started = QProcess::startDetached(QCoreApplication::applicationFilePath(), Arguments, QDir::currentPath());
    qInfo() << "restart after the self-update" << (Started ? "started" : "failed") << " Thread: " << QThread::currentThreadId();
    QCoreApplication::exit(Started ? 0 : 1);
}

void TLauncherApplication::hideSplash()
{
    m_SplashTimer.stop();
    if (m_pSplashScreen) {
        m_pSplashScreen->hide();
    }
}

void TLauncherApplication::onLauncherReadyForAction()
{
    qInfo() << "onLauncherReadyForAction"
            << " Thread: " << QThread::currentThreadId();
    const auto pConfiguration = m_pConfigurationHandler->getConfiguration();
    if (!pConfiguration) {
        return;
    }
    m_pMainWindow.reset();
    m_pInstallationManager = std::make_unique<TInstallationManager>(
        pConfiguration, m_pLauncherFilesystemHelper,
        [this](const QString& FirstFlagKey, const QString& Step) { sendFunnelEvent(Step, FirstFlagKey); });

    std::vector<std::shared_ptr<TPackage>> Forced;
    for (const auto& pPackage : pConfiguration->getPackagesForThisMachine()) {
        const QString Marker = m_pLauncherFilesystemHelper->resolvePathInsideDirectory(
            m_pInstallationManager->installationDirectory(*pPackage), QStringLiteral("FORCE_PATCH"));
        if (QFileInfo::exists(Marker)) {
            QFile::remove(Marker);
            Forced.push_back(pPackage);
        }
    }
    connect(m_pInstallationManager.get(), &TInstallationManager::allStartedUpdatesFinished, this,
            &TLauncherApplication::onAllStartedUpdatesFinished);
    connect(m_pInstallationManager.get(), &TInstallationManager::diskAccessFailed, this, &TLauncherApplication::onDiskAccessFailed);
    hideSplash();

    const bool PatchRequested = !patchExecutable().isEmpty();
    if (isFirstLaunch()) {
        showMainWindow();
        bool First = true;
        for (const auto& pPackage : pConfiguration->getPackages()) {
            if (!pPackage->m_InstallAutomatically) {
                continue;
            }
            m_pInstallationManager->installOrUpdatePackage(pPackage);
            if (First) {
                m_pInstallationManager->setDefaultPackage(pPackage);
                First = false;
            }
        }
        return;
    }
    if (!PatchRequested && Forced.empty()) {
        const auto pDefault = m_pInstallationManager->defaultPackage();
        if (!isShowUi() && pDefault && pDefault->localPackageStatus() == ELocalPackageStatus::Installed) {
            startPackageAndExit(pDefault);
            return;
        }
        showMainWindow();
        return;
    }
    std::shared_ptr<TPackage> pPatched;
    const QString Wanted = QDir::cleanPath(patchExecutable());
    for (const auto& pPackage : pConfiguration->getPackages()) {
        const QString Executable = m_pInstallationManager->executablePath(*pPackage);
        if (!Executable.isEmpty() && QDir::cleanPath(Executable) == Wanted) {
            pPatched = pPackage;
            break;
        }
    }
    showMainWindow();
    if (pPatched) {
        Forced.push_back(pPatched);
    }
    if (Forced.empty()) {
        showMessageBox(QMessageBox::Information, QStringLiteral("Client patching failed"),
                       QStringLiteral("Could not determine patch information. Your client might no longer be supported."), QMessageBox::Ok,
                       m_pMainWindow.get());
        return;
    }
    for (const auto& pPackage : Forced) {
        m_pInstallationManager->installOrUpdatePackage(pPackage);
    }
}

void TLauncherApplication::onAllStartedUpdatesFinished()
{
    const auto pConfiguration = m_pConfigurationHandler->getConfiguration();
    if (pConfiguration && pConfiguration->getPreventDefaultAutostart()) {
        return;
    }
    if (isFirstLaunch()) {
        const auto pDefault = m_pInstallationManager->defaultPackage();
        if (pDefault && pDefault->localPackageStatus() == ELocalPackageStatus::Installed) {
            startPackageAndExit(pDefault);
        }
        return;
    }
    if (!patchExecutable().isEmpty() && pConfiguration) {
        const QString Wanted = QDir::cleanPath(patchExecutable());
        for (const auto& pPackage : pConfiguration->getPackages()) {
            const QString Executable = m_pInstallationManager->executablePath(*pPackage);
            if (!Executable.isEmpty() && QDir::cleanPath(Executable) == Wanted) {
                startPackageAndExit(pPackage);
                return;
            }
        }
    }
}

void TLauncherApplication::onClientStartOrInstallTriggeredFromUI(std::shared_ptr<TPackage> pPackage)
{
    qInfo() << "onClientStartOrInstallTriggeredFromUI " << pPackage->m_Name << " Thread: " << QThread::currentThreadId();
    switch (pPackage->localPackageStatus()) {
    case ELocalPackageStatus::Installed:
        startPackageAndExit(pPackage);
        break;
    case ELocalPackageStatus::NotInstalled:
    case ELocalPackageStatus::PartiallyInstalled:
    case ELocalPackageStatus::UpdateRequired:
        m_pInstallationManager->installOrUpdatePackage(pPackage);
        break;
    case ELocalPackageStatus::Undetermined:
        break;
    }
}

void TLauncherApplication::onClientVerifyTriggeredFromUI(std::shared_ptr<TPackage> pPackage)
{
    qInfo() << "onClientVerifyTriggeredFromUI " << pPackage->m_Name << " Thread: " << QThread::currentThreadId();
    m_pInstallationManager->verifyPackage(pPackage);
}

void TLauncherApplication::onDefaultChanged(std::shared_ptr<TPackage> pPackage, bool IsDefault)
{
    m_pInstallationManager->setDefaultPackage(IsDefault ? pPackage : nullptr);
}

void TLauncherApplication::startPackageAndExit(const std::shared_ptr<TPackage>& pPackage)
{
    qInfo() << "startPackageAndExit" << pPackage->m_Name << " Thread: " << QThread::currentThreadId();
    const QString Executable = m_pInstallationManager ? m_pInstallationManager->executablePath(*pPackage) : QString();
    if (Executable.isEmpty()) {
        return;
    }
    QStringList Arguments;
    if (const TPackageConfigurationReader* pConfiguration = pPackage->currentConfiguration()) {
        Arguments = pConfiguration->m_Parameters;
    }
    if (pPackage->m_IsUpToDate) {
        Arguments.append(QStringLiteral("--package-is-up-to-date"));
    }
    const QString Directory = QFileInfo(Executable).absoluteDir().absolutePath();
    qputenv("LD_LIBRARY_PATH", Directory.toLocal8Bit());
    if (!QProcess::startDetached(Executable, Arguments, Directory)) {
        qCritical() << "could not start" << Executable << " Thread: " << QThread::currentThreadId();
        QCoreApplication::exit(1);
        return;
    }
    m_ClientStartClock.start();
    m_ExitTimer.start();
    if (m_pMainWindow) {
        m_pMainWindow->close();
    }
}

void TLauncherApplication::sendFunnelEvent(const QString& Step, const QString& FirstFlagKey)
{
    const auto pConfiguration = m_pConfigurationHandler->getConfiguration();
    m_pFunnelEventSender->send(pConfiguration ? pConfiguration->getFunnelUrl() : QUrl(), Step, FirstFlagKey);
}

void TLauncherApplication::showMainWindow()
{
    if (m_pMainWindow) {
        m_pMainWindow->show();
        return;
    }
    qInfo() << "show the main window"
            << " Thread: " << QThread::currentThreadId();
    const auto pConfiguration = m_pConfigurationHandler->getConfiguration();
    std::vector<std::shared_ptr<TPackage>> Packages;
    if (pConfiguration) {
        Packages = pConfiguration->getPackagesForThisMachine();
    }
    m_pMainWindow = std::make_unique<TLauncherMainWindow>(pConfiguration, Packages, pConfiguration && pConfiguration->getShowPackageNames(),
                                                          m_pDownloadPool, m_pCdnTrace, m_pInstallationManager.get(),
                                                          QString::fromLatin1(kLauncherVersion));
    TLauncherMainWindow* pWindow = m_pMainWindow.get();
    connect(m_pConfigurationHandler.get(), &TLauncherConfigurationHandler::hintsAreaDataReceived, pWindow, &TLauncherMainWindow::setHints);
    connect(pWindow, &TLauncherMainWindow::defaultChanged, this, &TLauncherApplication::onDefaultChanged);
    connect(pWindow, &TLauncherMainWindow::clientPackageButtonClicked, this, &TLauncherApplication::onClientStartOrInstallTriggeredFromUI);
    connect(pWindow, &TLauncherMainWindow::clientPackageVerifyButtonClicked, this, &TLauncherApplication::onClientVerifyTriggeredFromUI);
    sendFunnelEvent(QStringLiteral("launcher_started"), QStringLiteral("FunnelStartedFirst"));
    m_pMainWindow->show();
    qInfo() << "main window shown"
            << " Thread: " << QThread::currentThreadId();
    flushLog(); // from here on the launcher waits for the player: the log is current
    if (pConfiguration && pConfiguration->getHintsUrl().isValid() && !pConfiguration->getHintsUrl().isEmpty()) {
        m_pDownloadPool->download(pConfiguration->getHintsUrl(), ::shared::kMaxHintsDocumentSize);
    }
}

int TLauncherApplication::showMessageBox(int Icon, const QString& Title, const QString& Text, int Buttons, QWidget* pParent)
{
    QMessageBox Box(static_cast<QMessageBox::Icon>(Icon), Title, Text, static_cast<QMessageBox::StandardButtons>(Buttons), pParent);
    QPointer<QMessageBox> pGuard(&Box);
    m_pActiveMessageBox = &Box;
    // unattended runs (kiosks, scripted tests) can let fatal boxes close by themselves
    bool Ok = false;
    const int AutoClose = qEnvironmentVariableIntValue("TORVANE_DIALOG_TIMEOUT_MS", &Ok);
    if (Ok && AutoClose > 0) {
        QTimer::singleShot(AutoClose, &Box, [pGuard] {
            if (pGuard) {
                pGuard->done(0);
            }
        });
    }
    const int Result = Box.exec();
    m_pActiveMessageBox = nullptr;
    return Result;
}

void TLauncherApplication::onMainConfigurationDownloadFailed()
{
    hideSplash();
    qCritical() << "The launcher configuration is not available (maintenance)"
                << " Thread: " << QThread::currentThreadId();
    showMessageBox(QMessageBox::Information, QStringLiteral("Torvane Online cannot be started"),
                   QStringLiteral("Torvane Online is currently down for maintenance. Please try again later."), QMessageBox::Close,
                   nullptr);
    QCoreApplication::exit(1);
}

void TLauncherApplication::onDiskAccessFailed(QString ErrorMessage)
{
    hideSplash();
    qCritical() << "A critical error occurred while accessing a file:" << ErrorMessage << " Thread: " << QThread::currentThreadId();
    showMessageBox(QMessageBox::Critical, QStringLiteral("Torvane Online cannot start"),
                   QStringLiteral("A critical error occurred while accessing a file:\n") + ErrorMessage +
                       QStringLiteral("\nPlease reinstall Launcher."),
                   QMessageBox::Ok, nullptr);
    QCoreApplication::exit(1);
}

void TLauncherApplication::onSplashTimerTimeout()
{
    showSplash(QStringLiteral(":/images/launcher/LauncherLogo_QT.png"));
}

void TLauncherApplication::showSplash(const QString& ImagePath)
{
    if (m_pSplashScreen) {
        m_pSplashScreen->close();
        processEvents();
    }
    m_pSplashScreen = std::make_unique<QSplashScreen>(QPixmap(ImagePath));
    m_pSplashScreen->show();
    processEvents();
    m_SplashTimer.stop();
}

void TLauncherApplication::onExitTimerTimeout()
{
    m_ExitTimer.stop();
    QCoreApplication::exit(0);
}

void TLauncherApplication::handleTerminationSignals()
{
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, g_SignalSockets) != 0) {
        return;
    }
    m_pSignalNotifier = std::make_unique<QSocketNotifier>(g_SignalSockets[1], QSocketNotifier::Read);
    connect(m_pSignalNotifier.get(), &QSocketNotifier::activated, this, [] {
        char Byte = 0;
        [[maybe_unused]] const ssize_t Ignored = ::read(g_SignalSockets[1], &Byte, 1);
        qInfo() << "termination requested"
                << " Thread: " << QThread::currentThreadId();
        QCoreApplication::exit(0);
    });
    struct sigaction Action { };
    Action.sa_handler = onTerminationSignal;
    sigemptyset(&Action.sa_mask);
    Action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &Action, nullptr);
    sigaction(SIGINT, &Action, nullptr);
}

int runLauncher(int& Argc, char** Argv)
{
    auto pApplication = std::make_unique<TLauncherApplication>(Argc, Argv);
    pApplication->parseCommandLine();

    auto pTester = std::make_unique<::shared::FirstInstanceTester>();
    QSharedMemory::SharedMemoryError Error = QSharedMemory::NoError;
    bool IsFirst = pTester->create(Error);
    if (!IsFirst && Error == QSharedMemory::AlreadyExists && pApplication->isSelfUpdateSkipped()) {
        // restarted by a self-update: the previous launcher is still on its way out and
        // holds the guard for a moment
        QElapsedTimer Waited;
        Waited.start();
        while (!IsFirst && Error == QSharedMemory::AlreadyExists && Waited.elapsed() < 10000) {
            QThread::msleep(100);
            IsFirst = pTester->create(Error);
        }
    }
    if (!IsFirst) {
        if (Error == QSharedMemory::AlreadyExists) {
            qInfo() << "Version: " << QString::fromLatin1(kLauncherVersion) << "already running"
                    << " Thread: " << QThread::currentThreadId();
            pTester.reset();
            pApplication.reset();
            return 0;
        }
        qFatal("QSharedMemory::SharedMemoryError(%d)", static_cast<int>(Error));
    }

    try {
        setupLogging();
    } catch (const std::exception& Exception) {
        qWarning() << "couldn't setup logging. exception: " << Exception.what();
    } catch (...) {
        qWarning() << "couldn't setup logging";
    }

    pApplication->handleTerminationSignals();
    pApplication->startLoading();
    const int Status = pApplication->exec();
    qInfo() << "exit with status" << Status << " Thread: " << QThread::currentThreadId();
    // the guard goes first: however the process ends below, the next start finds it free
    pTester.reset();
    // Decoding, scanning and writing run on the global thread pool, and the application
    // object's destructor waits for that pool without end. A worker stuck in a decoder or
    // in the file system must not keep the launcher from quitting: after a grace period
    // the process ends without destructors. Nothing is lost by that: an installation
    // still running keeps its partial marker, so the next start resumes it.
    if (!QThreadPool::globalInstance()->waitForDone(kShutdownGraceMs)) {
        qWarning() << "workers still busy" << kShutdownGraceMs << "ms after the end of the event loop; ending without waiting for them"
                   << " Thread: " << QThread::currentThreadId();
        shutdownLogging();
        std::_Exit(Status);
    }
    pApplication.reset();
    shutdownLogging();
    return Status;
}

} // namespace zarvo::launcher
