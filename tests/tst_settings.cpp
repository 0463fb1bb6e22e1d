#include "TestEnvironment.h"

#include "TLauncherFilesystemHelper.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

using zarvo::launcher::TLauncherFilesystemHelper;

class TestSettings : public QObject {
    Q_OBJECT
private slots:
    void embeddedOnly();
    void diskFileDoesNotFallBack();
    void unconvertibleValues();
    void publicKeyList_data();
    void publicKeyList();
};

void TestSettings::embeddedOnly()
{
    // nothing beside the test executable: the compiled-in file is used
    QCOMPARE(TLauncherFilesystemHelper::settingsFilePath(), QStringLiteral(":/settings/launchersettings.ini"));
    QFile Embedded(TLauncherFilesystemHelper::settingsFilePath());
    QVERIFY(Embedded.open(QIODevice::ReadOnly));
    const QByteArray Text = Embedded.readAll();
    QVERIFY(!Text.contains('\r'));
    QVERIFY(Text.startsWith("[URLS]\nlauncherConfiguration="));

    TLauncherFilesystemHelper Helper;
    const auto pSettings = Helper.getSettings();
    QCOMPARE(pSettings->m_LauncherConfigurationUrl.path(), QStringLiteral("/launcher/wexmetadata.json"));
    QVERIFY(pSettings->m_LauncherConfigurationUrl.isValid());
    // the documents decide what runs on the player's machine: never fetched in the clear
    QCOMPARE(pSettings->m_LauncherConfigurationUrl.scheme(), QStringLiteral("https"));
    QVERIFY(pSettings->m_PublicKeys.isEmpty());
    QVERIFY(pSettings->m_CdnDiagnosticsTraceUrl.isEmpty());
    QCOMPARE(pSettings->m_AppendNocacheToPackageUrls, false);
    QCOMPARE(pSettings->m_PackagesDirectoryName, QStringLiteral("packages"));
    QCOMPARE(pSettings->m_PackageFileName, QStringLiteral("package.json"));
    QCOMPARE(pSettings->m_PartialPackageFileName, QStringLiteral("partial-package.json"));
    QCOMPARE(pSettings->m_AssetFileName, QStringLiteral("assets.json"));
    QCOMPARE(pSettings->m_WaitNotificationTimeout.count(), 500);
    QCOMPARE(pSettings->m_DownloadErrorTimeout.count(), 10000);
    QCOMPARE(pSettings->m_ClientStartTimeout.count(), 30000);
    QCOMPARE(pSettings->m_MaxCachedChunks, 100);
    QCOMPARE(pSettings->m_MaxConcurrentDownloads, 10);
    QCOMPARE(pSettings->m_SkipVerification, true);
    QCOMPARE(pSettings->m_FastScan, true);
    QCOMPARE(pSettings->m_ChunkVerification, false);
    QCOMPARE(pSettings->m_MaxDownloadRate, 0);
    QCOMPARE(pSettings->m_TransferTimeout.count(), 30);
    // every asker shares one record
    QCOMPARE(Helper.getSettings().get(), pSettings.get());
}

void TestSettings::diskFileDoesNotFallBack()
{
    QTemporaryDir Dir;
    const QString Path = Dir.filePath(QStringLiteral("launchersettings.ini"));
    QFile File(Path);
    QVERIFY(File.open(QIODevice::WriteOnly));
    File.write("[OPTIONS]\nmaxConcurrentDownloads=4\nskipVerification=false\ntransferTimeout=5\n");
    File.close();

    const auto pSettings = TLauncherFilesystemHelper(Path).getSettings();
    QCOMPARE(pSettings->m_MaxConcurrentDownloads, 4);
    QCOMPARE(pSettings->m_TransferTimeout.count(), 5);
    QCOMPARE(pSettings->transferTimeoutMs(), 5000);
    QCOMPARE(pSettings->m_SkipVerification, false);
    QCOMPARE(pSettings->m_MaxCachedChunks, 100);
    QVERIFY(pSettings->m_LauncherConfigurationUrl.isEmpty());
    QVERIFY(pSettings->m_PackagesDirectoryName.isEmpty());
    QVERIFY(pSettings->m_PackageFileName.isEmpty());
    QCOMPARE(pSettings->m_WaitNotificationTimeout.count(), 0);
    QCOMPARE(pSettings->m_DownloadErrorTimeout.count(), 0);
}

void TestSettings::unconvertibleValues()
{
    QTemporaryDir Dir;
    const QString Path = Dir.filePath(QStringLiteral("launchersettings.ini"));
    QFile File(Path);
    QVERIFY(File.open(QIODevice::WriteOnly));
    File.write("[TIMING]\nwaitNotificationTimeout=soon\ndownloadErrorTimeout=2500\n"
               "[DEBUG]\nchunkVerification=true\n[OPTIONS]\nmaxCachedChunks=many\nmaxDownloadRate=-5\ntransferTimeout=never\n");
    File.close();

    const auto pSettings = TLauncherFilesystemHelper(Path).getSettings();
    QCOMPARE(pSettings->m_WaitNotificationTimeout.count(), 0);
    QCOMPARE(pSettings->m_DownloadErrorTimeout.count(), 2500);
    QCOMPARE(pSettings->m_ChunkVerification, true);
    QCOMPARE(pSettings->m_MaxCachedChunks, 0);
    QCOMPARE(pSettings->m_TransferTimeout.count(), 30); // not 0, which would switch it off
    // a negative rate is no limit rather than a stalled download
    QCOMPARE(pSettings->m_MaxDownloadRate, 0);
}

void TestSettings::publicKeyList_data()
{
    QTest::addColumn<QByteArray>("Line");
    QTest::addColumn<QStringList>("Expected");
    QTest::newRow("one") << QByteArray("publicKeys=AAA=") << QStringList {"AAA="};
    QTest::newRow("comma list") << QByteArray("publicKeys=AAA=, BBB=") << QStringList {"AAA=", "BBB="};
    QTest::newRow("spaces") << QByteArray("publicKeys=\"AAA=  BBB=\"") << QStringList {"AAA=", "BBB="};
    QTest::newRow("empty value") << QByteArray("publicKeys=") << QStringList {};
    QTest::newRow("absent") << QByteArray("other=1") << QStringList {};
}

void TestSettings::publicKeyList()
{
    QFETCH(QByteArray, Line);
    QFETCH(QStringList, Expected);
    QTemporaryDir Dir;
    const QString Path = Dir.filePath(QStringLiteral("launchersettings.ini"));
    QFile File(Path);
    QVERIFY(File.open(QIODevice::WriteOnly));
    File.write("[SECURITY]\n" + Line + "\n");
    File.close();
    QCOMPARE(TLauncherFilesystemHelper(Path).getSettings()->m_PublicKeys, Expected);
}

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"
