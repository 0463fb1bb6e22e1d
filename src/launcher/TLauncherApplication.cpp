#include "TLauncherApplication.h"

#include "FirstInstanceTester.h"
#include "LauncherLogging.h"
#include "TCloudflareCdnTrace.h"
#include "TDownloadPool.h"
#include "TLauncherConfigurationHandler.h"
#include "TTranslationManager.h"

#include <QNetworkAccessManager>

#include <QDebug>
#include <QPixmap>
#include <QSocketNotifier>
#include <QSplashScreen>
#include <QThread>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

void torvaneInitImageResources();

namespace zarvo::launcher {

const char* const kLauncherVersion = "0.0.8";

namespace {

TLauncherApplication* g_pApplication = nullptr;
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
    , m_pCdnTrace(std::make_shared<TCloudflareCdnTrace>(m_pLauncherFilesystemHelper->getSettings()->m_CdnDiagnosticsTraceUrl, m_pDownloadPool))
    , m_pConfigurationHandler(std::make_unique<TLauncherConfigurationHandler>(
          m_pDownloadPool, m_pLauncherFilesystemHelper, m_pLauncherFilesystemHelper->getSettings()->m_LauncherConfigurationUrl))
    , m_FirstLaunchOption({QStringLiteral("l"), QStringLiteral("first-launch")},
                          QStringLiteral("Automatically download default packages when starting up."))
    , m_SkipSelfUpdateOption({QStringLiteral("s"), QStringLiteral("skip-selfupdate")},
                             QStringLiteral("Do not perform self-update check on launch."))
    , m_ShowUiOption({QStringLiteral("u"), QStringLiteral("show-ui")},
                     QStringLiteral("Show list of available packages after intial checks."))
    , m_PatchOption({QStringLiteral("p"), QStringLiteral("patch")},
                    QStringLiteral("Start update of <patchexecutable> without user interaction."),
                    QStringLiteral("patchexecutable"))
    , m_FunnelKey(QStringLiteral("FunnelUuid"))
{
    torvaneInitImageResources();
    const auto pSettings = m_pLauncherFilesystemHelper->getSettings();

    m_CommandLineParser.addOption(m_FirstLaunchOption);
    m_CommandLineParser.addOption(m_SkipSelfUpdateOption);
    m_CommandLineParser.addOption(m_ShowUiOption);
    m_CommandLineParser.addOption(m_PatchOption);
    m_ExitTimer.setInterval(200);

    g_pApplication = this;

    m_pTranslationManager->loadAndInstall(this, QStringLiteral("launcher.en"), QCoreApplication::applicationDirPath());

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
}

TLauncherApplication::~TLauncherApplication()
{
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
    qInfo() << "load configuration" << " Thread: " << QThread::currentThreadId();
    m_pConfigurationHandler->startDownload();
    m_SplashTimer.start();
}

void TLauncherApplication::onMainConfigurationLoaded()
{
    qInfo() << "configuration loaded" << (m_pConfigurationHandler->isLocalCopy() ? "from the cache" : "from the server")
            << " Thread: " << QThread::currentThreadId();
    m_pConfigurationHandler->queuePackageConfigurationDownloads();
}

void TLauncherApplication::onMainConfigurationDownloadFailed()
{
    qCritical() << "The launcher configuration is not available (maintenance)" << " Thread: " << QThread::currentThreadId();
    QCoreApplication::exit(1);
}

void TLauncherApplication::onDiskAccessFailed(QString ErrorMessage)
{
    qCritical() << "A critical error occurred while accessing a file:" << ErrorMessage << " Thread: " << QThread::currentThreadId();
    QCoreApplication::exit(1);
}

void TLauncherApplication::onPackageConfigurationDownloadsFinished()
{
    const auto pConfiguration = m_pConfigurationHandler->getConfiguration();
    if (!pConfiguration) {
        return;
    }
    for (const auto& pPackage : pConfiguration->getPackagesForThisMachine()) {
        qInfo() << "package offered:" << pPackage->m_Name << pPackage->currentConfiguration()->versionLabel()
                << "files:" << pPackage->currentConfiguration()->m_Files.size() << " Thread: " << QThread::currentThreadId();
    }
}

void TLauncherApplication::onSplashTimerTimeout()
{
    if (m_pSplashScreen) {
        m_pSplashScreen->close();
        processEvents();
    }
    m_pSplashScreen = std::make_unique<QSplashScreen>(QPixmap(QStringLiteral(":/images/launcher/LauncherLogo_QT.png")));
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
        qInfo() << "termination requested" << " Thread: " << QThread::currentThreadId();
        QCoreApplication::exit(0);
    });
    struct sigaction Action {};
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
    if (!pTester->create(Error)) {
        if (Error == QSharedMemory::AlreadyExists) {
            qInfo() << "Version: " << QString::fromLatin1(kLauncherVersion) << "already running" << " Thread: "
                    << QThread::currentThreadId();
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
    pTester.reset();
    pApplication.reset();
    shutdownLogging();
    return Status;
}

} // namespace zarvo::launcher
