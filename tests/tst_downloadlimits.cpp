#include "TestEnvironment.h"

#include "PackTool.h"
#include "ServedPackages.h"
#include "support/LoopbackHttpServer.h"

#include "TBandwidthLimiter.h"
#include "TDiskSpaceCheck.h"
#include "TDownloadPool.h"
#include "TInstallationManager.h"

#include <QNetworkAccessManager>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/mount.h>
#include <unistd.h>

using namespace zarvo::launcher;
using namespace testsupport;

namespace {

constexpr std::uint64_t kPlenty = 1000ULL * 1000 * 1000 * 1000;

// What a finished job reported.
struct TOutcome {
    bool m_Finished = false;
    EPackageDownloaderError m_Reason = EPackageDownloaderError::NoError;
    std::optional<TDiskSpaceShortage> m_Shortage;
    qint64 m_ElapsedMs = 0;
};

int chunkRequests(const TLoopbackHttpServer& Server)
{
    int Count = 0;
    for (const QString& Path : Server.requestedPaths()) {
        Count += Path.contains(QLatin1String("/chunks/")) ? 1 : 0;
    }
    return Count;
}

qint64 treeSize(const QString& Root)
{
    qint64 Size = 0;
    for (const QString& File : treeFiles(Root)) {
        Size += QFileInfo(Root + QLatin1Char('/') + File).size();
    }
    return Size;
}

} // namespace

class TestDownloadLimits : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanup();
    void shortageText_data();
    void shortageText();
    void freeSpaceDecidesBeforeAnyChange_data();
    void freeSpaceDecidesBeforeAnyChange();
    void smallFilesystem();
    void refusedUpdateKeepsTheInstalledFiles();
    void bandwidthLimit_data();
    void bandwidthLimit();
    void limitedPoolDeliversWholeBodies();

private:
    std::shared_ptr<TLauncherConfigurationReader> configuration(const QString& Version, const QString& Directory);
    std::shared_ptr<TLauncherFilesystemHelper> helper(int MaxDownloadRate);
    TOutcome install(const QString& Version, const QString& Directory, int MaxDownloadRate = 0);

    QTemporaryDir m_Work;
    QString m_Served;
    std::unique_ptr<TLoopbackHttpServer> m_pServer;
    QString m_MountPoint;
};

void TestDownloadLimits::initTestCase()
{
    QCoreApplication::setOrganizationName(QStringLiteral("Halvern GmbH"));
    QCoreApplication::setApplicationName(QStringLiteral("Torvane Online"));
    m_Served = m_Work.filePath(QStringLiteral("served"));
    QDir().mkpath(m_Served);
    m_pServer = std::make_unique<TLoopbackHttpServer>();
    m_pServer->serveDirectory(m_Served);

    const QString Big = m_Work.filePath(QStringLiteral("big"));
    writeTreeFile(Big, QStringLiteral("data/world.pak"), randomBytes(10 * 1000 * 1000, 21));
    writeTreeFile(Big, QStringLiteral("readme.txt"), "ten megabytes\n");
    QVERIFY(packTree(Big, m_Served + QStringLiteral("/big"), {QStringLiteral("--version"), QStringLiteral("1")}));

    const QString Small = m_Work.filePath(QStringLiteral("small"));
    writeTreeFile(Small, QStringLiteral("data/world.pak"), randomBytes(300 * 1000, 22));
    QVERIFY(packTree(Small, m_Served + QStringLiteral("/small"), {QStringLiteral("--version"), QStringLiteral("1")}));
}

void TestDownloadLimits::cleanup()
{
    TDiskSpaceCheck::setFreeSpaceProbe({});
    if (!m_MountPoint.isEmpty()) {
        ::umount2(QFile::encodeName(m_MountPoint).constData(), MNT_DETACH);
        m_MountPoint.clear();
    }
}

std::shared_ptr<TLauncherFilesystemHelper> TestDownloadLimits::helper(int MaxDownloadRate)
{
    const QString Path = m_Work.filePath(QStringLiteral("settings-%1.ini").arg(MaxDownloadRate));
    QFile File(Path);
    File.open(QIODevice::WriteOnly | QIODevice::Truncate);
    File.write("[DIRECTORIES]\npackages=packages\n[FILES]\npackageFile=package.json\npartialPackageFile=partial-package.json\n"
               "assetFile=assets.json\n[OPTIONS]\nmaxConcurrentDownloads=4\nmaxDownloadRate=" +
               QByteArray::number(MaxDownloadRate) + "\n");
    File.close();
    return std::make_shared<TLauncherFilesystemHelper>(Path);
}

std::shared_ptr<TLauncherConfigurationReader> TestDownloadLimits::configuration(const QString& Version, const QString& Directory)
{
    return configurationOfServedPackages({servedPackage("Game " + Version, Directory, Version + "/package.json")},
                                         m_pServer->url(QStringLiteral("/")), m_Served);
}

TOutcome TestDownloadLimits::install(const QString& Version, const QString& Directory, int MaxDownloadRate)
{
    auto pConfiguration = configuration(Version, Directory);
    TInstallationManager Manager(pConfiguration, helper(MaxDownloadRate));
    auto pOutcome = std::make_shared<TOutcome>();
    QObject::connect(&Manager, &TInstallationManager::installationOrUpdateFinished, &Manager, [pOutcome](const TPackageInstallation& Job) {
        pOutcome->m_Finished = true;
        pOutcome->m_Reason = Job.errorReason();
        pOutcome->m_Shortage = Job.diskSpaceShortage();
    });
    QElapsedTimer Clock;
    Clock.start();
    Manager.installOrUpdatePackage(pConfiguration->getPackages().front());
    while (!pOutcome->m_Finished && Clock.elapsed() < 120000) {
        QTest::qWait(20);
    }
    pOutcome->m_ElapsedMs = Clock.elapsed();
    return *pOutcome;
}

void TestDownloadLimits::shortageText_data()
{
    QTest::addColumn<quint64>("Needed");
    QTest::addColumn<quint64>("Free");
    QTest::addColumn<QString>("Text");
    QTest::newRow("gigabytes, one decimal") << quint64(12340000000ULL) << quint64(4000000000ULL)
                                            << QStringLiteral("12.4 GB are needed in /games, but only 4.0 GB are free.");
    // the figures never read alike: needed rounds up, free rounds down
    QTest::newRow("a few bytes short") << quint64(2000000001ULL) << quint64(2000000000ULL)
                                       << QStringLiteral("2.1 GB are needed in /games, but only 2.0 GB are free.");
    QTest::newRow("megabytes") << quint64(12000000ULL) << quint64(4000000ULL)
                               << QStringLiteral("0.1 GB are needed in /games, but only 0.0 GB are free.");
}

void TestDownloadLimits::shortageText()
{
    QFETCH(quint64, Needed);
    QFETCH(quint64, Free);
    QFETCH(QString, Text);
    QCOMPARE(TDiskSpaceCheck::describe(TDiskSpaceShortage {Needed, Free, QStringLiteral("/games")}), Text);
}

void TestDownloadLimits::freeSpaceDecidesBeforeAnyChange_data()
{
    // free space of the installation's filesystem and of the temporary folder's; same
    // volume: one figure for both. The installation grows by exactly the tree's size.
    QTest::addColumn<qint64>("InstallationFree"); // -1: unknown; relative to the growth when below 1000
    QTest::addColumn<qint64>("TemporaryFree");
    QTest::addColumn<bool>("SameVolume");
    QTest::addColumn<QString>("RefusedIn"); // "installation", "temporary" or empty (installs)
    QTest::newRow("plenty") << qint64(kPlenty) << qint64(kPlenty) << false << QString();
    QTest::newRow("installation too small") << qint64(5 * 1000 * 1000) << qint64(kPlenty) << false << QStringLiteral("installation");
    QTest::newRow("exactly the growth, parked chunks elsewhere") << qint64(0) << qint64(kPlenty) << false << QString();
    QTest::newRow("exactly the growth, parked chunks on the same disk") << qint64(0) << qint64(0) << true << QStringLiteral("installation");
    QTest::newRow("temporary folder full") << qint64(kPlenty) << qint64(0) << false << QStringLiteral("temporary");
    QTest::newRow("free space unknown: not checked") << qint64(-1) << qint64(-1) << false << QString();
}

void TestDownloadLimits::freeSpaceDecidesBeforeAnyChange()
{
    QFETCH(qint64, InstallationFree);
    QFETCH(qint64, TemporaryFree);
    QFETCH(bool, SameVolume);
    QFETCH(QString, RefusedIn);
    const qint64 Growth = treeSize(m_Work.filePath(QStringLiteral("big")));
    const qint64 Installation = InstallationFree == 0 ? Growth : InstallationFree;
    const QString Temporary = QDir::tempPath();
    const QString Directory = QStringLiteral("probe-%1").arg(QTest::currentDataTag()).replace(QLatin1Char(' '), QLatin1Char('-'));
    TDiskSpaceCheck::setFreeSpaceProbe([=](const QString& Path) -> std::optional<TFreeSpace> {
        const bool IsTemporary = Path == Temporary;
        const qint64 Free = IsTemporary ? (SameVolume ? Installation : TemporaryFree) : Installation;
        if (Free < 0) {
            return std::nullopt;
        }
        return TFreeSpace {static_cast<std::uint64_t>(Free),
                           (IsTemporary && !SameVolume) ? QStringLiteral("tmp") : QStringLiteral("games")};
    });
    m_pServer->resetCounters();
    const TOutcome Outcome = install(QStringLiteral("big"), Directory);
    QVERIFY(Outcome.m_Finished);
    const QString InstalledFile = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation) +
        QStringLiteral("/packages/%1/data/world.pak").arg(Directory);
    if (RefusedIn.isEmpty()) {
        QCOMPARE(Outcome.m_Reason, EPackageDownloaderError::NoError);
        QVERIFY(!Outcome.m_Shortage);
        QCOMPARE(QFileInfo(InstalledFile).size(), qint64(10 * 1000 * 1000));
        return;
    }
    QCOMPARE(Outcome.m_Reason, EPackageDownloaderError::NotEnoughDiskSpace);
    QVERIFY(Outcome.m_Shortage);
    QCOMPARE(chunkRequests(*m_pServer), 0);
    QVERIFY(!QFile::exists(InstalledFile));
    if (RefusedIn == QLatin1String("temporary")) {
        QCOMPARE(Outcome.m_Shortage->m_Location, Temporary);
        QCOMPARE(Outcome.m_Shortage->m_BytesFree, std::uint64_t(0));
    } else {
        QVERIFY(Outcome.m_Shortage->m_Location.endsWith(QStringLiteral("/packages/") + Directory));
        QCOMPARE(Outcome.m_Shortage->m_BytesFree, static_cast<std::uint64_t>(Installation));
        QVERIFY(Outcome.m_Shortage->m_BytesNeeded > static_cast<std::uint64_t>(Installation));
    }
}

// A real small filesystem under the packages folder: the large package is refused with the
// real figures, the small one installs.
void TestDownloadLimits::smallFilesystem()
{
    if (::geteuid() != 0) {
        QSKIP("mounting a small filesystem needs root; the probe rows cover the decision");
    }
    const QString Packages = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation) + QStringLiteral("/packages");
    QVERIFY(QDir().mkpath(Packages));
    if (::mount("tmpfs", QFile::encodeName(Packages).constData(), "tmpfs", 0, "size=4m") != 0) {
        QSKIP("this machine does not allow mounting a tmpfs");
    }
    m_MountPoint = Packages;

    m_pServer->resetCounters();
    const TOutcome Refused = install(QStringLiteral("big"), QStringLiteral("tiny-big"));
    QVERIFY(Refused.m_Finished);
    QCOMPARE(Refused.m_Reason, EPackageDownloaderError::NotEnoughDiskSpace);
    QVERIFY(Refused.m_Shortage);
    QCOMPARE(chunkRequests(*m_pServer), 0);
    QVERIFY(!QFile::exists(Packages + QStringLiteral("/tiny-big/data")));
    const QString Text = TDiskSpaceCheck::describe(*Refused.m_Shortage);
    QVERIFY2(Text.startsWith(QStringLiteral("0.1 GB are needed in ")), qPrintable(Text));
    QVERIFY2(Text.contains(Packages + QStringLiteral("/tiny-big, but only 0.0 GB are free")), qPrintable(Text));
    QVERIFY(Refused.m_Shortage->m_BytesFree <= 4 * 1024 * 1024);

    const TOutcome Fits = install(QStringLiteral("small"), QStringLiteral("tiny-small"));
    QVERIFY(Fits.m_Finished);
    QCOMPARE(Fits.m_Reason, EPackageDownloaderError::NoError);
    QCOMPARE(QFileInfo(Packages + QStringLiteral("/tiny-small/data/world.pak")).size(), qint64(300 * 1000));
}

// An update that replaces a file whole and does not fit: the free-space check refuses it,
// and the installed version is still there, byte for byte.
void TestDownloadLimits::refusedUpdateKeepsTheInstalledFiles()
{
    const QString Directory = QStringLiteral("keep");
    QCOMPARE(install(QStringLiteral("small"), Directory).m_Reason, EPackageDownloaderError::NoError);
    const QString Installed = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation) +
        QStringLiteral("/packages/%1/data/world.pak").arg(Directory);
    const QByteArray Before = readTreeFile(Installed);
    QCOMPARE(Before, readTreeFile(m_Work.filePath(QStringLiteral("small/data/world.pak"))));

    TDiskSpaceCheck::setFreeSpaceProbe([](const QString& Path) -> std::optional<TFreeSpace> {
        return TFreeSpace {Path == QDir::tempPath() ? kPlenty : 1000 * 1000,
                           Path == QDir::tempPath() ? QStringLiteral("tmp") : QStringLiteral("games")};
    });
    m_pServer->resetCounters();
    const TOutcome Refused = install(QStringLiteral("big"), Directory);
    QCOMPARE(Refused.m_Reason, EPackageDownloaderError::NotEnoughDiskSpace);
    QCOMPARE(chunkRequests(*m_pServer), 0);
    QVERIFY(readTreeFile(Installed) == Before);
}

void TestDownloadLimits::bandwidthLimit_data()
{
    QTest::addColumn<int>("Rate");
    QTest::newRow("2000 KB/s") << 2000;
    QTest::newRow("unlimited") << 0;
}

void TestDownloadLimits::bandwidthLimit()
{
    QFETCH(int, Rate);
    const QString Directory = QStringLiteral("rate-%1").arg(Rate);
    const TOutcome Outcome = install(QStringLiteral("big"), Directory, Rate);
    QVERIFY(Outcome.m_Finished);
    QCOMPARE(Outcome.m_Reason, EPackageDownloaderError::NoError);
    const QString Installed = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation) +
        QStringLiteral("/packages/%1/data/world.pak").arg(Directory);
    QCOMPARE(readTreeFile(Installed), readTreeFile(m_Work.filePath(QStringLiteral("big/data/world.pak"))));
    qInfo() << "10 MB at" << Rate << "KB/s took" << Outcome.m_ElapsedMs << "ms";
    if (Rate > 0) {
        // 5 s at the limit; a little burst and the last slice of each transfer come early
        QVERIFY2(Outcome.m_ElapsedMs >= 4000, qPrintable(QString::number(Outcome.m_ElapsedMs)));
    } else {
        QVERIFY2(Outcome.m_ElapsedMs < 4000, qPrintable(QString::number(Outcome.m_ElapsedMs)));
    }
}

// Bodies read in limited slices arrive whole, and a body cut short is still a failure.
void TestDownloadLimits::limitedPoolDeliversWholeBodies()
{
    const QByteArray First = randomBytes(700 * 1000, 31);
    const QByteArray Second = randomBytes(500 * 1000, 32);
    m_pServer->setBody(QStringLiteral("/first"), First);
    m_pServer->setBody(QStringLiteral("/second"), Second);
    m_pServer->setBody(QStringLiteral("/cut"), randomBytes(400 * 1000, 33));
    testsupport::TBehaviour Cut;
    Cut.m_TruncateAfterBodyBytes = 150 * 1000;
    m_pServer->setBehaviour(QStringLiteral("/cut"), Cut);

    shared::TDownloadPool Pool(3, std::make_shared<shared::QNetworkAccessManagerWrapper>(std::make_shared<QNetworkAccessManager>()), true);
    Pool.setBandwidthLimiter(std::make_shared<shared::TBandwidthLimiter>(1000 * 1000));
    QSignalSpy Succeeded(&Pool, &shared::TDownloadPool::success);
    QSignalSpy Failed(&Pool, &shared::TDownloadPool::failed);
    for (const char* Path : {"/first", "/second", "/cut"}) {
        Pool.download(m_pServer->url(QLatin1String(Path)));
    }
    QTRY_VERIFY_WITH_TIMEOUT(Succeeded.size() == 2 && Failed.size() >= 1, 30000);
    QMap<QString, QByteArray> Bodies;
    for (const QList<QVariant>& Arguments : Succeeded) {
        Bodies.insert(Arguments.at(0).toUrl().path(), Arguments.at(1).toByteArray());
    }
    QVERIFY(Bodies.value(QStringLiteral("/first")) == First);
    QVERIFY(Bodies.value(QStringLiteral("/second")) == Second);
    QCOMPARE(Failed.first().at(0).toUrl().path(), QStringLiteral("/cut"));
}

QTEST_GUILESS_MAIN(TestDownloadLimits)
#include "tst_downloadlimits.moc"
