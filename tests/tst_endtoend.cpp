#include "TestEnvironment.h"

// The whole chain as players meet it: torvane-pack publishes a game into a folder that
// Debian's nginx serves on 127.0.0.1, and the real launcher binary installs, updates and
// starts it. What the launcher fetched is read from nginx's access log.

#include "PackTool.h"
#include "ProcessHelpers.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <QTcpSocket>

#include <csignal>
#include <grp.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <unistd.h>

using namespace testsupport;

namespace {

const char* const kNginx = "/usr/sbin/nginx";
const QString kConfigurationPath = QStringLiteral("/launcher/wexmetadata.json");

// A client that writes what it was started with into the file named by TORVANE_TEST_RECORD
// (whole: it appears by a rename).
const QByteArray kRecordingClient = "#!/bin/sh\n"
                                    "{\n"
                                    "  for a in \"$@\"; do echo \"ARG:$a\"; done\n"
                                    "  echo \"LD:$LD_LIBRARY_PATH\"\n"
                                    "  echo \"PWD:$(pwd)\"\n"
                                    "} > \"$TORVANE_TEST_RECORD.part\"\n"
                                    "mv \"$TORVANE_TEST_RECORD.part\" \"$TORVANE_TEST_RECORD\"\n";

struct TLogLine {
    QString m_Method;
    QString m_Path;
    int m_Status = 0;
    qint64 m_Bytes = 0;
};

// A child that ends with the test: a test killed by its time-out leaves no server behind.
class TTiedProcess : public QProcess {
protected:
    void setupChildProcess() override { ::prctl(PR_SET_PDEATHSIG, SIGTERM); }
};

// Debian's nginx serving one folder on 127.0.0.1, run as a child of the test (daemon off)
// with its configuration, logs, pid and temporary files in a folder of its own.
class TNginx {
public:
    ~TNginx() { stop(); }

    // Starts on a free port (Port 0) or on the given one; false with a message when not.
    bool start(const QString& Root, quint16 Port = 0)
    {
        m_Root = Root;
        for (int Attempt = 0; Attempt < 10; ++Attempt) {
            const quint16 Candidate = Port != 0 ? Port : freePort();
            writeConfiguration(Candidate);
            QFile::remove(errorLogPath());
            m_pProcess = std::make_unique<TTiedProcess>();
            m_pProcess->setProcessChannelMode(QProcess::MergedChannels);
            m_pProcess->start(QString::fromLatin1(kNginx),
                              {QStringLiteral("-p"), m_Directory.path(), QStringLiteral("-c"), configurationPath(), QStringLiteral("-e"),
                               errorLogPath()});
            if (!m_pProcess->waitForStarted(10000)) {
                m_Error = m_pProcess->errorString();
                return false;
            }
            const bool Up = waitUntil(
                [&] {
                    if (m_pProcess->state() != QProcess::Running) {
                        return true;
                    }
                    QTcpSocket Probe;
                    Probe.connectToHost(QHostAddress::LocalHost, Candidate);
                    return Probe.waitForConnected(200);
                },
                10000);
            if (Up && m_pProcess->state() == QProcess::Running) {
                m_Port = Candidate;
                return true;
            }
            m_Error = QString::fromLocal8Bit(m_pProcess->readAll() + readAll(errorLogPath()));
            stop();
            if (Port != 0 || !m_Error.contains(QLatin1String("Address already in use"))) {
                return false;
            }
        }
        return false;
    }

    void stop()
    {
        if (!m_pProcess) {
            return;
        }
        if (m_pProcess->state() != QProcess::NotRunning) {
            m_pProcess->terminate();
            if (!m_pProcess->waitForFinished(10000)) {
                m_pProcess->kill();
                m_pProcess->waitForFinished(5000);
            }
        }
        m_pProcess.reset();
    }

    quint16 port() const { return m_Port; }
    QString error() const { return m_Error; }
    QByteArray url(const QString& Path) const { return QStringLiteral("http://127.0.0.1:%1%2").arg(m_Port).arg(Path).toUtf8(); }

    // The requests logged since the last call.
    QList<TLogLine> takeRequests()
    {
        QList<TLogLine> Lines;
        const QByteArray Log = readAll(m_Directory.filePath(QStringLiteral("access.log")));
        for (const QByteArray& Line : Log.mid(m_LogRead).split('\n')) {
            const QList<QByteArray> Fields = Line.split(' ');
            if (Fields.size() == 4) {
                Lines.append({QString::fromLatin1(Fields[0]), QString::fromLatin1(Fields[1]), Fields[2].toInt(), Fields[3].toLongLong()});
            }
        }
        m_LogRead = Log.size();
        return Lines;
    }

private:
    static quint16 freePort()
    {
        QTcpServer Server;
        Server.listen(QHostAddress::LocalHost, 0);
        return Server.serverPort();
    }

    QString configurationPath() const { return m_Directory.filePath(QStringLiteral("nginx.conf")); }
    QString errorLogPath() const { return m_Directory.filePath(QStringLiteral("error.log")); }

    void writeConfiguration(quint16 Port) const
    {
        const QString Dir = m_Directory.path();
        QDir().mkpath(Dir + QStringLiteral("/tmp"));
        QByteArray User;
        if (::geteuid() == 0) {
            // as root the workers would switch to "nobody", who cannot read the 0700 folders
            const passwd* pUser = ::getpwuid(::geteuid());
            const group* pGroup = ::getgrgid(::getegid());
            if (pUser && pGroup) {
                User = "user " + QByteArray(pUser->pw_name) + ' ' + QByteArray(pGroup->gr_name) + ";\n";
            }
        }
        const QString Text = QStringLiteral("daemon off;\n"
                                            "worker_processes 1;\n"
                                            "pid %1/nginx.pid;\n"
                                            "error_log %1/error.log warn;\n"
                                            "events { worker_connections 64; }\n"
                                            "http {\n"
                                            "  log_format plain '$request_method $uri $status $body_bytes_sent';\n"
                                            "  access_log %1/access.log plain;\n"
                                            "  client_body_temp_path %1/tmp/body;\n"
                                            "  proxy_temp_path %1/tmp/proxy;\n"
                                            "  fastcgi_temp_path %1/tmp/fastcgi;\n"
                                            "  uwsgi_temp_path %1/tmp/uwsgi;\n"
                                            "  scgi_temp_path %1/tmp/scgi;\n"
                                            "  default_type application/octet-stream;\n"
                                            "  server {\n"
                                            "    listen 127.0.0.1:%2;\n"
                                            "    root %3;\n"
                                            "  }\n"
                                            "}\n")
                                 .arg(Dir)
                                 .arg(Port)
                                 .arg(m_Root);
        QFile File(configurationPath());
        File.open(QIODevice::WriteOnly | QIODevice::Truncate);
        File.write(User + Text.toUtf8());
    }

    QTemporaryDir m_Directory;
    QString m_Root;
    std::unique_ptr<QProcess> m_pProcess;
    quint16 m_Port = 0;
    QString m_Error;
    int m_LogRead = 0;
};

// Chunk paths on the server ("/game/chunks/<sha>.bin") named by a package document.
QSet<QString> chunkPaths(const QByteArray& Document)
{
    QSet<QString> Paths;
    for (const QJsonValue& Chunk : QJsonDocument::fromJson(Document).object().value(QStringLiteral("chunks")).toArray()) {
        Paths.insert(QStringLiteral("/game/") + Chunk.toObject().value(QStringLiteral("url")).toString());
    }
    return Paths;
}

QStringList pathsOf(const QList<TLogLine>& Lines, const QString& Prefix)
{
    QStringList Paths;
    for (const TLogLine& Line : Lines) {
        if (Line.m_Path.startsWith(Prefix)) {
            Paths << Line.m_Path;
        }
    }
    Paths.sort();
    return Paths;
}

QStringList sorted(const QSet<QString>& Set)
{
    QStringList List(Set.begin(), Set.end());
    List.sort();
    return List;
}

// Relative path -> size, modification time and digest of every file below Root but the log.
QMap<QString, QString> snapshot(const QString& Root)
{
    QMap<QString, QString> Files;
    for (const QString& Relative : treeFiles(Root)) {
        if (Relative == QLatin1String("torvane-launcher.log")) {
            continue;
        }
        const QFileInfo Info(Root + QLatin1Char('/') + Relative);
        Files.insert(Relative,
                     QStringLiteral("%1 %2 %3")
                         .arg(Info.size())
                         .arg(Info.lastModified().toMSecsSinceEpoch())
                         .arg(QString::fromLatin1(QCryptographicHash::hash(readAll(Info.filePath()), QCryptographicHash::Sha256).toHex())));
    }
    return Files;
}

} // namespace

class TestEndToEnd : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void freshInstallStartsTheClient();
    void updateFetchesExactlyTheNewChunks();
    void maintenanceLeavesTheInstallationAlone();
    void serverDownStartsTheInstalledClientFromTheCache();
    void corruptChunkFailsUnmarkedAndTheNextRunCompletes();

private:
    QByteArray settings() const;
    std::unique_ptr<QProcess> run(const TStagedLauncher& Launcher, const QStringList& Arguments, const QString& Record) const;
    void publish(const QString& Tree, const QString& Version);
    void verifyInstalled(const TStagedLauncher& Launcher, const QString& Tree) const;
    QString installation(const TStagedLauncher& Launcher) const { return Launcher.dataDir() + QStringLiteral("/packages/torvane"); }
    QString expectedRecord(const TStagedLauncher& Launcher, bool UpToDate) const;

    QTemporaryDir m_Work;
    QString m_Served;
    QString m_TreeV1;
    QString m_TreeV2;
    QByteArray m_DocumentV1;
    QByteArray m_DocumentV2;
    TNginx m_Nginx;
    std::unique_ptr<TStagedLauncher> m_pPlayer;
};

void TestEndToEnd::initTestCase()
{
    if (!QFileInfo::exists(QString::fromLatin1(kNginx))) {
        QSKIP("nginx is not installed (/usr/sbin/nginx is missing; scripts/deps installs it)");
    }
    m_Served = m_Work.filePath(QStringLiteral("served"));
    QDir().mkpath(m_Served);

    // version 1: world.pak is P Q R; version 2 moves R in front of Q and inserts X
    // between them, adds new.pak and drops old.txt
    const int Block = 6 * 1000 * 1000;
    const QByteArray P = randomBytes(Block, 1), Q = randomBytes(Block, 2), R = randomBytes(Block, 3), X = randomBytes(512 * 1024, 4);
    m_TreeV1 = m_Work.filePath(QStringLiteral("game-v1"));
    m_TreeV2 = m_Work.filePath(QStringLiteral("game-v2"));
    for (const QString& Tree : {m_TreeV1, m_TreeV2}) {
        writeTreeFile(Tree, QStringLiteral("bin/client.sh"), kRecordingClient, true);
        writeTreeFile(Tree, QStringLiteral("data/notes.txt"), QByteArray("Torvane notes\n").repeated(2000));
    }
    writeTreeFile(m_TreeV1, QStringLiteral("data/world.pak"), P + Q + R);
    writeTreeFile(m_TreeV1, QStringLiteral("data/old.txt"), "dropped in version 2\n");
    writeTreeFile(m_TreeV2, QStringLiteral("data/world.pak"), P + R + X + Q);
    writeTreeFile(m_TreeV2, QStringLiteral("data/new.pak"), randomBytes(1000 * 1000, 5));

    publish(m_TreeV1, QStringLiteral("1"));
    m_DocumentV1 = readAll(m_Served + QStringLiteral("/game/package.json"));
    QProcess Config;
    Config.setProcessChannelMode(QProcess::MergedChannels);
    Config.start(packToolBinary(),
                 {QStringLiteral("config"), m_Served + kConfigurationPath, QStringLiteral("--package"), QStringLiteral("Torvane Online"),
                  QStringLiteral("torvane"), QStringLiteral("../game/package.json"), QStringLiteral("--install-automatically")});
    QVERIFY(Config.waitForFinished(30000));
    QVERIFY2(Config.exitCode() == 0, Config.readAll().constData());

    QVERIFY2(m_Nginx.start(m_Served), qPrintable(m_Nginx.error()));
    m_pPlayer = std::make_unique<TStagedLauncher>(settings());
}

QByteArray TestEndToEnd::settings() const
{
    return "[URLS]\nlauncherConfiguration=" + m_Nginx.url(kConfigurationPath) +
        "\ncdnDiagnosticsTrace=\nappendNocacheToPackageUrls=false\n\n[DIRECTORIES]\npackages=packages\n\n"
        "[FILES]\npackageFile=package.json\npartialPackageFile=partial-package.json\nassetFile=assets.json\n\n"
        "[TIMING]\nwaitNotificationTimeout=500\ndownloadErrorTimeout=5000\nclientStartTimeout=30000\n\n"
        "[OPTIONS]\nmaxConcurrentDownloads=4\nskipVerification=false\nfastScan=true\n";
}

void TestEndToEnd::publish(const QString& Tree, const QString& Version)
{
    QVERIFY(
        packTree(Tree, m_Served + QStringLiteral("/game"),
                 {QStringLiteral("--version"), Version, QStringLiteral("--executable"), QStringLiteral("bin/client.sh"),
                  QStringLiteral("--parameter"), QStringLiteral("-fast"), QStringLiteral("--parameter"), QStringLiteral("second param")}));
}

std::unique_ptr<QProcess> TestEndToEnd::run(const TStagedLauncher& Launcher, const QStringList& Arguments, const QString& Record) const
{
    QFile::remove(Record);
    QProcessEnvironment Extra;
    Extra.insert(QStringLiteral("TORVANE_TEST_RECORD"), Record);
    Extra.insert(QStringLiteral("LD_LIBRARY_PATH"), QStringLiteral("/somewhere/else"));
    return Launcher.run(Arguments, Extra);
}

QString TestEndToEnd::expectedRecord(const TStagedLauncher& Launcher, bool UpToDate) const
{
    const QString Bin = installation(Launcher) + QStringLiteral("/bin");
    return QStringLiteral("ARG:-fast\nARG:second param\n%1LD:%2\nPWD:%2\n")
        .arg(UpToDate ? QStringLiteral("ARG:--package-is-up-to-date\n") : QString(), Bin);
}

void TestEndToEnd::verifyInstalled(const TStagedLauncher& Launcher, const QString& Tree) const
{
    const QString Root = installation(Launcher);
    for (const QString& Relative : treeFiles(Tree)) {
        QVERIFY2(readTreeFile(Root + QLatin1Char('/') + Relative) == readTreeFile(Tree + QLatin1Char('/') + Relative),
                 qPrintable(Relative));
    }
    QVERIFY(QFileInfo(Root + QStringLiteral("/bin/client.sh")).isExecutable());
}

void TestEndToEnd::freshInstallStartsTheClient()
{
    m_Nginx.takeRequests();
    const QString Record = m_Work.filePath(QStringLiteral("fresh.txt"));
    auto pLauncher = run(*m_pPlayer, {QStringLiteral("--first-launch")}, Record);
    QVERIFY(pLauncher->waitForFinished(120000));
    QCOMPARE(pLauncher->exitStatus(), QProcess::NormalExit);
    QCOMPARE(pLauncher->exitCode(), 0);
    QVERIFY(waitUntil([&] { return QFile::exists(Record); }, 10000));
    QCOMPARE(QString::fromUtf8(readAll(Record)), expectedRecord(*m_pPlayer, true));

    verifyInstalled(*m_pPlayer, m_TreeV1);
    QCOMPARE(readAll(installation(*m_pPlayer) + QStringLiteral("/package.json")), m_DocumentV1);
    QVERIFY(!QFile::exists(installation(*m_pPlayer) + QStringLiteral("/partial-package.json")));
    QVERIFY(QFile::exists(installation(*m_pPlayer) + QStringLiteral("/default")));

    // only GETs of the configuration, the package document and each chunk once
    const QList<TLogLine> Requests = m_Nginx.takeRequests();
    for (const TLogLine& Line : Requests) {
        QVERIFY2(Line.m_Method == QLatin1String("GET") && Line.m_Status == 200, qPrintable(Line.m_Method + QLatin1Char(' ') + Line.m_Path));
    }
    QCOMPARE(pathsOf(Requests, QStringLiteral("/launcher/")), QStringList {kConfigurationPath});
    QCOMPARE(pathsOf(Requests, QStringLiteral("/game/package.json")), QStringList {QStringLiteral("/game/package.json")});
    QCOMPARE(pathsOf(Requests, QStringLiteral("/game/chunks/")), sorted(chunkPaths(m_DocumentV1)));
    QCOMPARE(Requests.size(), chunkPaths(m_DocumentV1).size() + 2);
}

void TestEndToEnd::updateFetchesExactlyTheNewChunks()
{
    QVERIFY(QFile::exists(installation(*m_pPlayer) + QStringLiteral("/package.json")));
    publish(m_TreeV2, QStringLiteral("2"));
    m_DocumentV2 = readAll(m_Served + QStringLiteral("/game/package.json"));
    const QSet<QString> New = chunkPaths(m_DocumentV2) - chunkPaths(m_DocumentV1);
    // the data must leave something to reuse, or this would prove nothing
    QVERIFY(!New.isEmpty());
    QVERIFY(New.size() + 2 <= chunkPaths(m_DocumentV2).size());

    // the client asks for its own update, so it runs without the player
    m_Nginx.takeRequests();
    const QString Record = m_Work.filePath(QStringLiteral("update.txt"));
    auto pLauncher = run(*m_pPlayer, {QStringLiteral("--patch"), installation(*m_pPlayer) + QStringLiteral("/bin/client.sh")}, Record);
    QVERIFY(pLauncher->waitForFinished(120000));
    QCOMPARE(pLauncher->exitCode(), 0);
    QVERIFY(waitUntil([&] { return QFile::exists(Record); }, 10000));
    QCOMPARE(QString::fromUtf8(readAll(Record)), expectedRecord(*m_pPlayer, true));

    const QList<TLogLine> Requests = m_Nginx.takeRequests();
    QCOMPARE(pathsOf(Requests, QStringLiteral("/game/chunks/")), sorted(New));
    verifyInstalled(*m_pPlayer, m_TreeV2);
    QVERIFY(!QFile::exists(installation(*m_pPlayer) + QStringLiteral("/data/old.txt")));
    QCOMPARE(readAll(installation(*m_pPlayer) + QStringLiteral("/package.json")), m_DocumentV2);
    QVERIFY(!QFile::exists(installation(*m_pPlayer) + QStringLiteral("/partial-package.json")));
}

void TestEndToEnd::maintenanceLeavesTheInstallationAlone()
{
    QVERIFY(QFile::exists(installation(*m_pPlayer) + QStringLiteral("/package.json")));
    const QString Configuration = m_Served + kConfigurationPath;
    QVERIFY(QFile::rename(Configuration, Configuration + QStringLiteral(".away")));
    const QMap<QString, QString> Before = snapshot(m_pPlayer->dataDir());
    QVERIFY(Before.contains(QStringLiteral("launchermetadata.json")));

    m_Nginx.takeRequests();
    const QString Record = m_Work.filePath(QStringLiteral("maintenance.txt"));
    auto pLauncher = run(*m_pPlayer, {}, Record);
    const bool Finished = pLauncher->waitForFinished(60000);
    QVERIFY(QFile::rename(Configuration + QStringLiteral(".away"), Configuration));
    QVERIFY(Finished);
    QCOMPARE(pLauncher->exitCode(), 1);
    QVERIFY(readAll(m_pPlayer->logPath()).contains("maintenance"));
    QVERIFY(!QFile::exists(Record));
    QCOMPARE(snapshot(m_pPlayer->dataDir()), Before);
    const QList<TLogLine> Requests = m_Nginx.takeRequests();
    QCOMPARE(Requests.size(), 1);
    QCOMPARE(Requests.first().m_Status, 404);
}

void TestEndToEnd::serverDownStartsTheInstalledClientFromTheCache()
{
    const quint16 Port = m_Nginx.port();
    m_Nginx.stop();
    const QString Record = m_Work.filePath(QStringLiteral("offline.txt"));
    auto pLauncher = run(*m_pPlayer, {}, Record);
    const bool Finished = pLauncher->waitForFinished(60000);
    const bool Restarted = m_Nginx.start(m_Served, Port);
    QVERIFY(Finished);
    QCOMPARE(pLauncher->exitCode(), 0);
    QVERIFY(waitUntil([&] { return QFile::exists(Record); }, 10000));
    // not updated in this run: no up-to-date flag
    QCOMPARE(QString::fromUtf8(readAll(Record)), expectedRecord(*m_pPlayer, false));
    QVERIFY(readAll(m_pPlayer->logPath()).contains("using the cached launcher configuration"));
    QVERIFY2(Restarted, qPrintable(m_Nginx.error()));
}

void TestEndToEnd::corruptChunkFailsUnmarkedAndTheNextRunCompletes()
{
    QVERIFY(!m_DocumentV2.isEmpty());
    // the last chunk of world.pak (files are assembled in order: the chunks in front of it
    // are on disk when it fails). Random data are stored as they are, so a flipped byte
    // survives unpacking and only the digest check can catch it.
    const QJsonObject Root = QJsonDocument::fromJson(m_DocumentV2).object();
    int Position = -1;
    for (const QJsonValue& File : Root.value(QStringLiteral("files")).toArray()) {
        if (File.toObject().value(QStringLiteral("localfile")).toString() == QLatin1String("data/world.pak")) {
            Position = File.toObject().value(QStringLiteral("chunks")).toArray().last().toInt();
        }
    }
    QVERIFY(Position >= 0);
    const QString Url = Root.value(QStringLiteral("chunks")).toArray().at(Position).toObject().value(QStringLiteral("url")).toString();
    const QString ChunkPath = QStringLiteral("/game/") + Url;
    const QString ChunkFile = m_Served + ChunkPath;
    const QByteArray Good = readAll(ChunkFile);
    QVERIFY(Good.size() > 4096);
    QByteArray Bad = Good;
    Bad[Bad.size() - 1000] = char(Bad[Bad.size() - 1000] ^ 0x5A);
    writeTreeFile(m_Served, QStringLiteral("game/") + Url, Bad);

    TStagedLauncher Newcomer(settings());
    m_Nginx.takeRequests();
    const QString Record = m_Work.filePath(QStringLiteral("corrupt.txt"));
    auto pFailing = run(Newcomer, {QStringLiteral("--first-launch")}, Record);
    // the failed installation is reported in the window, which stays for the player
    const bool Reported = waitUntil([&] { return readAll(Newcomer.logPath()).contains("onDownloadFinished found"); }, 120000);
    const bool StillRunning = pFailing->state() == QProcess::Running;
    ::kill(static_cast<pid_t>(pFailing->processId()), SIGTERM);
    QVERIFY(pFailing->waitForFinished(20000));
    writeTreeFile(m_Served, QStringLiteral("game/") + Url, Good);
    QVERIFY(Reported);
    QVERIFY(StillRunning);
    const QByteArray Log = readAll(Newcomer.logPath());
    // the body no longer matches its packed hash: a transfer fault, never decoded
    QVERIFY2(Log.contains("Download of") && Log.contains("packed hash of"), Log.right(3000).constData());
    QVERIFY(!QFile::exists(Record));
    QVERIFY(!QFile::exists(installation(Newcomer) + QStringLiteral("/package.json")));
    QVERIFY(QFile::exists(installation(Newcomer) + QStringLiteral("/partial-package.json")));
    // a damaged body is fetched again: four fetches in all, then the run gives up
    QCOMPARE(pathsOf(m_Nginx.takeRequests(), ChunkPath).size(), 4);

    // the server is fixed: the next run reuses what was written, fetches only that chunk
    // and completes
    auto pNext = run(Newcomer, {QStringLiteral("--first-launch")}, Record);
    QVERIFY(pNext->waitForFinished(120000));
    QCOMPARE(pNext->exitCode(), 0);
    QVERIFY(waitUntil([&] { return QFile::exists(Record); }, 10000));
    QCOMPARE(QString::fromUtf8(readAll(Record)), expectedRecord(Newcomer, true));
    QCOMPARE(pathsOf(m_Nginx.takeRequests(), QStringLiteral("/game/chunks/")), QStringList {ChunkPath});
    verifyInstalled(Newcomer, m_TreeV2);
    QCOMPARE(readAll(installation(Newcomer) + QStringLiteral("/package.json")), m_DocumentV2);
    QVERIFY(!QFile::exists(installation(Newcomer) + QStringLiteral("/partial-package.json")));
}

QTEST_GUILESS_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
