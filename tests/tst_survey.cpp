#include "TestEnvironment.h"

#include "support/LoopbackHttpServer.h"

#include "SurveyClientId.h"
#include "TJsonDocumentHttpPostSender.h"
#include "TJsonDocumentUploaderBase.h"
#include "TSystemSurveyAsJsonDocumentCreator.h"
#include "TSystemSurveyCreator.h"
#include "TSystemSurveyToJsonConverter.h"
#include "TSystemSurveyUploader.h"
#include "TSystemSurveyValueRetriever.h"

#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonObject>
#include <QMap>
#include <QNetworkAccessManager>
#include <QScreen>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <csignal>
#include <stdexcept>

#include <unistd.h>

using namespace systemsurvey;
using shared::TJsonDocumentHttpPostSender;
using shared::TJsonDocumentUploaderBase;
using testsupport::TBehaviour;
using testsupport::TLoopbackHttpServer;

namespace {

using TInputs = TSystemSurveyValueRetriever::TInputs;
using TRegisters = TSystemSurveyValueRetriever::TCpuidRegisters;

void writeFile(const QString& Path, const QByteArray& Content, bool Executable = false)
{
    QFile File(Path);
    QVERIFY2(File.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(Path));
    QCOMPARE(File.write(Content), qint64(Content.size()));
    File.close();
    if (Executable) {
        QVERIFY(File.setPermissions(File.permissions() | QFileDevice::ExeOwner));
    }
}

// A cpuinfo text as the kernel writes it: one block per logical processor.
QByteArray cpuInfoBlocks(const QList<int>& PhysicalIds, int Cores, const QList<QByteArray>& Speeds)
{
    QByteArray Text;
    for (int Index = 0; Index < PhysicalIds.size(); ++Index) {
        Text += "processor\t: " + QByteArray::number(Index) + "\n";
        Text += "vendor_id\t: GenuineIntel\n";
        Text += "model name\t: Common KVM processor\n";
        Text += "cpu MHz\t\t: " + Speeds.value(Index % qMax(1, Speeds.size()), "1000.000") + "\n";
        Text += "physical id\t: " + QByteArray::number(PhysicalIds.at(Index)) + "\n";
        Text += "cpu cores\t: " + QByteArray::number(Cores) + "\n";
        Text += "flags\t\t: fpu vme de pse tsc msr pae\n\n";
    }
    return Text;
}

quint32 registerOf(const QByteArray& Bytes, int Offset)
{
    quint32 Value = 0;
    for (int Byte = 3; Byte >= 0; --Byte) {
        Value = (Value << 8) | quint8(Bytes.at(Offset + Byte));
    }
    return Value;
}

// A processor described by its cpuid leaves.
class TFakeCpuRetriever : public TSystemSurveyValueRetriever {
public:
    explicit TFakeCpuRetriever(const QString& CpuInfoPath)
        : TSystemSurveyValueRetriever(inputsWithCpuInfo(CpuInfoPath))
    {
    }
    static TInputs inputsWithCpuInfo(const QString& Path)
    {
        TInputs Inputs;
        Inputs.m_CpuInfoPath = Path;
        return Inputs;
    }
    void setVendor(const QByteArray& Vendor, quint32 HighestLeaf)
    {
        m_Leaves[0] = {HighestLeaf, registerOf(Vendor, 0), registerOf(Vendor, 8), registerOf(Vendor, 4)};
    }
    void setBrand(const QByteArray& Brand48)
    {
        for (int Leaf = 0; Leaf < 3; ++Leaf) {
            const int Base = Leaf * 16;
            m_Leaves[0x80000002u + Leaf] = {registerOf(Brand48, Base), registerOf(Brand48, Base + 4),
                                            registerOf(Brand48, Base + 8), registerOf(Brand48, Base + 12)};
        }
    }
    QMap<quint32, TRegisters> m_Leaves;

protected:
    TRegisters cpuid(quint32 Leaf) const override { return m_Leaves.value(Leaf); }
};

// Fixed values for every operation; records the order of the calls.
class TRecordingRetriever : public TSystemSurveyValueRetriever {
public:
    std::vector<TMonitorInfo> getMonitors() const override
    {
        return record("monitors", std::vector<TMonitorInfo>{{1920, 1080, false, 60}, {2560, 1440, true, 144}});
    }
    TOperatingSystemInfo getOperatingSystem() const override
    {
        return record("operatingSystem", TOperatingSystemInfo{"Linux", "Fakix", "7.1"});
    }
    quint64 getMainMemorySize() const override { return record("mainMemorySize", Q_UINT64_C(17179869184)); }
    void getProcessorCounts(quint64& Numa, quint64& Physical, quint64& Cores, quint64& Logical) const override
    {
        record("processorCounts", 0);
        Numa = 0, Physical = 1, Cores = 4, Logical = 8;
    }
    double getClockSpeed() const override { return record("clockSpeed", 3400.5); }
    std::vector<TGpuInfo> getGpus() const override { return record("gpus", TSystemSurveyValueRetriever::getGpus()); }
    mutable QStringList m_Calls;

protected:
    TRegisters cpuid(quint32) const override { return {}; }

private:
    template <typename T>
    T record(const char* Call, T Value) const
    {
        m_Calls << QLatin1String(Call);
        return Value;
    }
};

std::shared_ptr<TSystemSurveyAsJsonDocumentCreator> documentCreatorOn(std::shared_ptr<TSystemSurveyValueRetriever> pRetriever)
{
    return std::make_shared<TSystemSurveyAsJsonDocumentCreator>(std::make_shared<TSystemSurveyCreator>(pRetriever),
                                                                std::make_shared<TSystemSurveyToJsonConverter>());
}

QSet<QString> keysOf(const QJsonObject& Object)
{
    const QStringList Keys = Object.keys();
    return QSet<QString>(Keys.begin(), Keys.end());
}

} // namespace

class TestSurvey : public QObject {
    Q_OBJECT
private slots:
    void processorCounts_data();
    void processorCounts();
    void clockSpeed_data();
    void clockSpeed();
    void processorRecordFromCpuid();
    void thisMachine();
    void releaseToolFallbackAndOutput();
    void hangingReleaseToolIsKilled();
    void creatorAsksEveryValueInOrder();
    void documentKeysAndTypes();
    void clientId();
    void uploaderAnswers_data();
    void uploaderAnswers();
    void lastErrorIsClearedBySuccess();
    void postedRequest();
    void invalidUrlCollectsNothing();
    void sharedManagerAndDoubleConnection();
};

void TestSurvey::processorCounts_data()
{
    QTest::addColumn<bool>("exists");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<quint64>("physical");
    QTest::addColumn<quint64>("cores");
    QTest::addColumn<quint64>("logical");

    // the model name "Common KVM processor" must not count as a ninth..sixteenth processor
    QTest::newRow("8 threads, 1 package") << true << cpuInfoBlocks({0, 0, 0, 0, 0, 0, 0, 0}, 4, {})
                                          << quint64(1) << quint64(4) << quint64(8);
    QTest::newRow("2 packages") << true << cpuInfoBlocks({0, 0, 1, 1}, 2, {}) << quint64(2) << quint64(2) << quint64(4);
    QTest::newRow("same id, other spacing")
        << true << QByteArray("processor : 0\nphysical id\t: 0\nprocessor : 1\nphysical id : 0\n")
        << quint64(1) << quint64(0) << quint64(2);
    QTest::newRow("last cpu cores wins, bad one ignored")
        << true << QByteArray("processor\t: 0\ncpu cores\t: 2\ncpu cores\t: 6\ncpu cores\t: many\n")
        << quint64(0) << quint64(6) << quint64(1);
    QTest::newRow("empty file") << true << QByteArray() << quint64(0) << quint64(0) << quint64(0);
    QTest::newRow("missing file") << false << QByteArray() << quint64(0) << quint64(0) << quint64(0);
}

void TestSurvey::processorCounts()
{
    QFETCH(bool, exists);
    QFETCH(QByteArray, content);
    QTemporaryDir Directory;
    const QString Path = Directory.filePath(QStringLiteral("cpuinfo"));
    if (exists) {
        writeFile(Path, content);
    }
    quint64 Numa = 99, Physical = 99, Cores = 99, Logical = 99;
    TFakeCpuRetriever(Path).getProcessorCounts(Numa, Physical, Cores, Logical);
    QCOMPARE(Numa, quint64(0));
    QTEST(Physical, "physical");
    QTEST(Cores, "cores");
    QTEST(Logical, "logical");
}

void TestSurvey::clockSpeed_data()
{
    QTest::addColumn<bool>("exists");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<double>("speed");

    QTest::newRow("highest of 800 and 3400") << true << cpuInfoBlocks({0, 0, 0, 0}, 2, {"800.000", "3400.000"}) << 3400.0;
    QTest::newRow("unreadable value ignored")
        << true << QByteArray("cpu MHz\t\t: fast\ncpu MHz\t\t: 1200.5\ncpu MHz : nan\n") << 1200.5;
    QTest::newRow("no cpu MHz lines") << true << QByteArray("processor\t: 0\n") << 0.0;
    QTest::newRow("missing file") << false << QByteArray() << 0.0;
}

void TestSurvey::clockSpeed()
{
    QFETCH(bool, exists);
    QFETCH(QByteArray, content);
    QTemporaryDir Directory;
    const QString Path = Directory.filePath(QStringLiteral("cpuinfo"));
    if (exists) {
        writeFile(Path, content);
    }
    QTEST(TFakeCpuRetriever(Path).getClockSpeed(), "speed");
}

void TestSurvey::processorRecordFromCpuid()
{
    QTemporaryDir Directory;
    const QString Path = Directory.filePath(QStringLiteral("cpuinfo"));
    writeFile(Path, cpuInfoBlocks({0, 0, 0, 0, 0, 0, 0, 0}, 4, {"800.000", "3400.000"}));

    TFakeCpuRetriever Intel(Path);
    Intel.setVendor("GenuineIntel", 0x16);
    Intel.m_Leaves[1] = {0, 0, 0, (1u << 25) | (1u << 26)};
    Intel.m_Leaves[0x80000000u] = {0x80000008u, 0, 0, 0};
    Intel.m_Leaves[0x80000001u] = {0, 0, 0, 1u << 29};
    Intel.setBrand(QByteArray("  Intel(R) Core(TM)   i7-1065G7 CPU @ 1.30GHz").leftJustified(48, '\0'));
    TCpuInfo Cpu = Intel.getCpu();
    QCOMPARE(Cpu.m_Manufacturer, QStringLiteral("Intel"));
    QCOMPARE(Cpu.m_BrandName, QStringLiteral("Intel(R) Core(TM) i7-1065G7 CPU @ 1.30GHz"));
    QVERIFY(Cpu.m_Is64Bit && Cpu.m_Sse && Cpu.m_Sse2);
    QCOMPARE(Cpu.m_LogicalCoreCount, quint64(8));
    QCOMPARE(Cpu.m_PhysicalCount, quint64(1));
    QCOMPARE(Cpu.m_CoreCount, quint64(4));
    QCOMPARE(Cpu.m_ClockSpeed, 3400.0);

    // all 48 brand bytes used, no terminating zero byte
    const QByteArray Full("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuv");
    Intel.setBrand(Full);
    QCOMPARE(Intel.getCpu().m_BrandName, QString::fromLatin1(Full));

    QCOMPARE(TSystemSurveyValueRetriever::manufacturerFromVendorString("XenVMMXenVMM"), QStringLiteral(" Xen HVM"));
    QCOMPARE(TSystemSurveyValueRetriever::manufacturerFromVendorString("genuineintel"), QStringLiteral("Unknown Manufacturer"));

    // no brand leaves; leaf 0x80000001 still says long mode; leaf 1 not offered
    TFakeCpuRetriever Old(Path);
    Old.setVendor("NotAVendor!!", 0);
    Old.m_Leaves[1] = {0, 0, 0, (1u << 25) | (1u << 26)};
    Old.m_Leaves[0x80000000u] = {0x80000003u, 0, 0, 0};
    Old.m_Leaves[0x80000001u] = {0, 0, 0, 1u << 29};
    Cpu = Old.getCpu();
    QCOMPARE(Cpu.m_Manufacturer, QStringLiteral("Unknown Manufacturer"));
    QCOMPARE(Cpu.m_BrandName, QStringLiteral("Acquiring Brand Name not supported"));
    QVERIFY(Cpu.m_Is64Bit);
    QVERIFY(!Cpu.m_Sse && !Cpu.m_Sse2);

    // without extended leaves leaf 0x80000001 is not trusted
    Old.m_Leaves[0x80000000u] = {0x80000000u, 0, 0, 0};
    QVERIFY(!Old.getCpu().m_Is64Bit);
}

void TestSurvey::thisMachine()
{
    TSystemSurveyValueRetriever Retriever;

    const std::vector<TMonitorInfo> Monitors = Retriever.getMonitors();
    const QList<QScreen*> Screens = QGuiApplication::screens();
    QCOMPARE(int(Monitors.size()), Screens.size());
    int Primaries = 0;
    for (int Index = 0; Index < Screens.size(); ++Index) {
        QCOMPARE(Monitors[Index].m_Width, qint64(Screens[Index]->geometry().width()));
        QCOMPARE(Monitors[Index].m_Height, qint64(Screens[Index]->geometry().height()));
        Primaries += Monitors[Index].m_Primary ? 1 : 0;
    }
    QCOMPARE(Primaries, Screens.isEmpty() ? 0 : 1);

    QCOMPARE(Retriever.getMainMemorySize(), quint64(sysconf(_SC_PHYS_PAGES)) * quint64(sysconf(_SC_PAGESIZE)));
    QVERIFY(Retriever.getMainMemorySize() > 0);

    const TCpuInfo Cpu = Retriever.getCpu();
#if defined(__x86_64__)
    QVERIFY(Cpu.m_Is64Bit && Cpu.m_Sse && Cpu.m_Sse2);
    QVERIFY(Cpu.m_BrandName != QStringLiteral("Acquiring Brand Name not supported"));
#endif
    QVERIFY(Cpu.m_LogicalCoreCount >= 1);

    const std::vector<TGpuInfo> Gpus = Retriever.getGpus();
    QCOMPARE(int(Gpus.size()), 1);
    QCOMPARE(Gpus[0].m_DeviceString, QStringLiteral("not implemented"));
}

void TestSurvey::releaseToolFallbackAndOutput()
{
    QTemporaryDir Directory;
    const QString Bin = Directory.path();
    const auto retriever = [&]() {
        TInputs Inputs;
        Inputs.m_ExecutableSearchPaths = QStringList{Bin};
        return TSystemSurveyValueRetriever(Inputs);
    };

    // neither tool: empty name and release
    TOperatingSystemInfo System = retriever().getOperatingSystem();
    QCOMPARE(System.m_BaseSystem, QStringLiteral("Linux"));
    QVERIFY(System.m_Name.isEmpty() && System.m_Release.isEmpty());

    // only the second name exists: its output is used, white space simplified
    writeFile(Bin + "/lsb-release",
              "#!/bin/sh\ncase \"$1 $2\" in\n"
              "  \"-s -i\") printf '  Fakix \\t  Linux\\n\\n' ;;\n"
              "  \"-s -r\") printf '7.1\\000trailing bytes after a zero\\n' ;;\n"
              "esac\n",
              true);
    System = retriever().getOperatingSystem();
    QCOMPARE(System.m_Name, QStringLiteral("Fakix Linux"));
    QCOMPARE(System.m_Release, QStringLiteral("7.1"));

    // a first tool that exists but cannot be executed falls back as well
    writeFile(Bin + "/lsb_release", "#!/nonexistent/interpreter\n", true);
    QCOMPARE(retriever().getOperatingSystem().m_Name, QStringLiteral("Fakix Linux"));

    // a first tool that runs is preferred
    writeFile(Bin + "/lsb_release", "#!/bin/sh\necho \"first $*\"\n", true);
    System = retriever().getOperatingSystem();
    QCOMPARE(System.m_Name, QStringLiteral("first -s -i"));
    QCOMPARE(System.m_Release, QStringLiteral("first -s -r"));

    // a tool that fails without output gives empty text, not the fallback's
    writeFile(Bin + "/lsb_release", "#!/bin/sh\necho 'bad option' >&2\nexit 2\n", true);
    QVERIFY(retriever().getOperatingSystem().m_Name.isEmpty());
}

void TestSurvey::hangingReleaseToolIsKilled()
{
    QTemporaryDir Directory;
    const QString PidFile = Directory.filePath(QStringLiteral("pid"));
    writeFile(Directory.filePath(QStringLiteral("lsb_release")),
              "#!/bin/sh\necho partial\necho $$ > '" + PidFile.toUtf8() + "'\nexec sleep 60\n", true);
    TInputs Inputs;
    Inputs.m_ExecutableSearchPaths = QStringList{Directory.path()};
    Inputs.m_ReleaseToolTimeoutMs = 500;

    TSystemSurveyValueRetriever Retriever(Inputs);
    QVERIFY(Retriever.getOperatingSystem().m_Name.isEmpty());
    QFile File(PidFile);
    QVERIFY(File.open(QIODevice::ReadOnly));
    const pid_t Pid = pid_t(File.readAll().trimmed().toInt());
    QVERIFY(Pid > 0);
    QCOMPARE(::kill(Pid, 0), -1);
    QCOMPARE(errno, ESRCH);
}

void TestSurvey::creatorAsksEveryValueInOrder()
{
    auto pRetriever = std::make_shared<TRecordingRetriever>();
    TSystemSurveyCreator(pRetriever).createSurvey();
    QCOMPARE(pRetriever->m_Calls,
             QStringList({"monitors", "operatingSystem", "mainMemorySize", "processorCounts", "clockSpeed", "gpus"}));
    QVERIFY_EXCEPTION_THROWN(TSystemSurveyCreator(nullptr), std::invalid_argument);
    QVERIFY_EXCEPTION_THROWN(TSystemSurveyAsJsonDocumentCreator(nullptr, nullptr), std::invalid_argument);
}

void TestSurvey::documentKeysAndTypes()
{
    // whole-object comparisons: QJsonValue equality also tells numbers, booleans and
    // strings apart
    TSystemSurvey Survey = TSystemSurveyCreator(std::make_shared<TRecordingRetriever>()).createSurvey();
    Survey.m_Gpus.push_back({"Adapter", Q_INT64_C(8589934592), 0x10de, 0x2484, "535.1"});
    const QJsonObject Root = TSystemSurveyToJsonConverter().convert(Survey).object();

    QCOMPARE(keysOf(Root),
             QSet<QString>({"dataType", "clientID", "monitors", "operatingSystem", "mainMemorySize", "cpu", "gpu"}));
    QCOMPARE(Root["dataType"], QJsonValue(0));
    QCOMPARE(Root["clientID"], QJsonValue(systemsurvey::clientId()));
    QCOMPARE(Root["mainMemorySize"].toVariant().toLongLong(), Q_INT64_C(17179869184));
    QCOMPARE(Root["monitors"],
             QJsonValue(QJsonArray({QJsonObject{{"width", 1920}, {"height", 1080}, {"primary", false}, {"refreshRate", 60}},
                                    QJsonObject{{"width", 2560}, {"height", 1440}, {"primary", true}, {"refreshRate", 144}}})));
    QCOMPARE(Root["operatingSystem"], QJsonValue(QJsonObject{{"baseSystem", "Linux"}, {"name", "Fakix"}, {"release", "7.1"}}));
    QCOMPARE(Root["cpu"], QJsonValue(QJsonObject{{"manufacturer", "Unknown Manufacturer"},
                                                 {"brandName", "Acquiring Brand Name not supported"},
                                                 {"64Bit", false}, {"sse", false}, {"sse2", false}, {"NUMANumber", 0},
                                                 {"physicalNumber", 1}, {"coreNumber", 4}, {"logicalCoreNumber", 8},
                                                 {"clockSpeed", 3400.5}}));
    // optional adapter keys only where known
    QCOMPARE(Root["gpu"], QJsonValue(QJsonArray({QJsonObject{{"deviceString", "not implemented"}, {"videoMemorySize", 0}},
                                                  QJsonObject{{"deviceString", "Adapter"}, {"videoMemorySize", 8589934592.0},
                                                              {"vendorId", 0x10de}, {"deviceId", 0x2484},
                                                              {"driverVersion", "535.1"}}})));
}

void TestSurvey::clientId()
{
    QCOMPARE(createClientId({}), QStringLiteral("454a6751674d3ad055d1583fd1255be2369476d2"));
    const QStringList Machine{"00:00:00:00:00:00", "52:54:00:12:34:56"};
    QCOMPARE(createClientId(Machine), QStringLiteral("9e661929627ed5a4a8a1bab1da482636880931f7"));
    QCOMPARE(createClientId(QStringList(Machine)), createClientId(Machine));
    QCOMPARE(createClientId(Machine + QStringList{"02:42:AC:11:00:02"}),
             QStringLiteral("930396b696fc18bb00bd08a084d46823182631d8"));

    const QString Id = systemsurvey::clientId();
    QCOMPARE(Id, createClientId(hardwareAddressesOfAllInterfaces()));
    QCOMPARE(Id.size(), 40);
    QVERIFY(QRegularExpression(QStringLiteral("^[0-9a-f]{40}$")).match(Id).hasMatch());
}

void TestSurvey::uploaderAnswers_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("success");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("message"); // "*": any non-empty text

    QTest::newRow("empty object") << 200 << QByteArray("{}") << true << 0 << QString();
    QTest::newRow("errorCode 0") << 200 << QByteArray(R"({"errorCode":0,"errorMessage":"none"})") << true << 0 << QString();
    QTest::newRow("not JSON") << 200 << QByteArray("<html>busy</html>") << false << -100 << "*";
    QTest::newRow("empty body") << 200 << QByteArray("") << false << -100 << "*";
    QTest::newRow("rejected") << 200 << QByteArray(R"({"errorCode":7,"errorMessage":"quota exceeded"})") << false << 7
                              << "quota exceeded";
    QTest::newRow("rejected without message") << 200 << QByteArray(R"({"errorCode":-3})") << false << -3
                                              << "The server rejected the document with error code -3";
    QTest::newRow("errorCode as text") << 200 << QByteArray(R"({"errorCode":"7"})") << false << -100 << "*";
    QTest::newRow("errorCode fraction") << 200 << QByteArray(R"({"errorCode":0.5})") << false << -100 << "*";
    QTest::newRow("array") << 200 << QByteArray("[]") << false << -100 << "*";
    QTest::newRow("server error") << 500 << QByteArray("{}") << false << 0 << "*";
}

void TestSurvey::uploaderAnswers()
{
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(QString, message);
    TLoopbackHttpServer Server;
    TBehaviour Behaviour;
    Behaviour.status = status;
    Behaviour.body = body;
    Server.setBehaviour(QStringLiteral("/answer"), Behaviour);

    TJsonDocumentUploaderBase Uploader(std::make_shared<TJsonDocumentHttpPostSender>(std::make_shared<QNetworkAccessManager>()));
    QSignalSpy Finished(&Uploader, &TJsonDocumentUploaderBase::finished);
    Uploader.send(Server.url(QStringLiteral("/answer")), QJsonDocument(QJsonObject{{"dataType", 0}}));
    QVERIFY(Finished.wait(10000));
    QCOMPARE(Finished.size(), 1);
    QTEST(Finished.at(0).at(0).toBool(), "success");
    QTEST(int(Uploader.getLastErrorCode()), "code");
    if (message == QLatin1String("*")) {
        QVERIFY(!Uploader.getLastErrorMessage().isEmpty());
    } else {
        QCOMPARE(Uploader.getLastErrorMessage(), message);
    }
    const QJsonDocument Reply = Finished.at(0).at(1).value<QJsonDocument>();
    if (status == 200) {
        QCOMPARE(Reply, QJsonDocument::fromJson(body));
    } else {
        QVERIFY(Reply.isNull());
    }
}

void TestSurvey::lastErrorIsClearedBySuccess()
{
    TLoopbackHttpServer Server;
    Server.setBody(QStringLiteral("/no"), R"({"errorCode":7,"errorMessage":"no"})", "application/json");
    Server.setBody(QStringLiteral("/yes"), "{}", "application/json");
    TJsonDocumentUploaderBase Uploader(std::make_shared<TJsonDocumentHttpPostSender>(std::make_shared<QNetworkAccessManager>()));
    QSignalSpy Finished(&Uploader, &TJsonDocumentUploaderBase::finished);
    Uploader.send(Server.url(QStringLiteral("/no")), QJsonDocument(QJsonObject()));
    QVERIFY(Finished.wait(10000));
    QCOMPARE(Uploader.getLastErrorCode(), 7);
    Uploader.send(Server.url(QStringLiteral("/yes")), QJsonDocument(QJsonObject()));
    QVERIFY(Finished.wait(10000));
    QVERIFY(Finished.at(1).at(0).toBool());
    QCOMPARE(Uploader.getLastErrorCode(), 0);
    QVERIFY(Uploader.getLastErrorMessage().isEmpty());
}

void TestSurvey::postedRequest()
{
    TLoopbackHttpServer Server;
    Server.setBody(QStringLiteral("/survey/upload"), "{}", "application/json");
    auto pDocumentCreator = documentCreatorOn(std::make_shared<TRecordingRetriever>());
    auto pSender = std::make_shared<TJsonDocumentHttpPostSender>(std::make_shared<QNetworkAccessManager>());
    TSystemSurveyUploader Uploader(pSender, Server.url(QStringLiteral("/survey/upload")), pDocumentCreator);
    QSignalSpy Finished(&Uploader, &TSystemSurveyUploader::finished);
    Uploader.upload();
    QVERIFY(Finished.wait(10000));
    QVERIFY(Finished.at(0).at(0).toBool());

    const QVector<testsupport::TCapturedRequest> Requests = Server.capturedRequests();
    QCOMPARE(Requests.size(), 1);
    QCOMPARE(Requests[0].method, QByteArray("POST"));
    QCOMPARE(Requests[0].path, QByteArray("/survey/upload"));
    QCOMPARE(Requests[0].header("content-type"), QByteArray("application/json"));
    QCOMPARE(Requests[0].header("content-disposition"), QByteArray("form-data; name=\"metadata\""));
    QCOMPARE(Requests[0].body, pDocumentCreator->createDocument().toJson(QJsonDocument::Compact));
    const QJsonObject Posted = QJsonDocument::fromJson(Requests[0].body).object();
    QCOMPARE(Posted["clientID"].toString(), systemsurvey::clientId());
    QCOMPARE(Posted["cpu"].toObject()["logicalCoreNumber"].toInt(), 8);
}

void TestSurvey::invalidUrlCollectsNothing()
{
    auto pRetriever = std::make_shared<TRecordingRetriever>();
    auto pSender = std::make_shared<TJsonDocumentHttpPostSender>(std::make_shared<QNetworkAccessManager>());
    for (const QUrl& Url : {QUrl(), QUrl(QStringLiteral("relative/path"))}) {
        TSystemSurveyUploader Uploader(pSender, Url, documentCreatorOn(pRetriever));
        QSignalSpy Finished(&Uploader, &TSystemSurveyUploader::finished);
        Uploader.upload();
        QCOMPARE(Finished.size(), 0); // reported from the event loop, like a transfer error
        QVERIFY(Finished.wait(10000));
        QVERIFY(!Finished.at(0).at(0).toBool());
        QVERIFY(!Uploader.getLastErrorMessage().isEmpty());
    }
    QVERIFY(pRetriever->m_Calls.isEmpty());
    QVERIFY_EXCEPTION_THROWN(TSystemSurveyUploader(pSender, QUrl(), nullptr), std::invalid_argument);
}

void TestSurvey::sharedManagerAndDoubleConnection()
{
    TLoopbackHttpServer Server;
    Server.setBody(QStringLiteral("/a"), R"({"from":"a"})", "application/json");
    Server.setBody(QStringLiteral("/b"), R"({"from":"b"})", "application/json");
    auto pManager = std::make_shared<QNetworkAccessManager>();
    TJsonDocumentHttpPostSender SenderA(pManager);
    TJsonDocumentHttpPostSender SenderB(pManager);
    // a caller that also wires the manager to the sender, as the start-up code may
    QObject::connect(pManager.get(), &QNetworkAccessManager::finished, &SenderA, &TJsonDocumentHttpPostSender::onFinished);
    QSignalSpy FinishedA(&SenderA, &TJsonDocumentHttpPostSender::finished);
    QSignalSpy FinishedB(&SenderB, &TJsonDocumentHttpPostSender::finished);
    SenderA.send(Server.url(QStringLiteral("/a")), QJsonDocument(QJsonObject()));
    SenderB.send(Server.url(QStringLiteral("/b")), QJsonDocument(QJsonObject()));
    QTRY_VERIFY_WITH_TIMEOUT(FinishedA.size() >= 1 && FinishedB.size() >= 1, 10000);
    QCOMPARE(FinishedA.size(), 1);
    QCOMPARE(FinishedB.size(), 1);
    QCOMPARE(FinishedA.at(0).at(2).toByteArray(), QByteArray(R"({"from":"a"})"));
    QCOMPARE(FinishedB.at(0).at(2).toByteArray(), QByteArray(R"({"from":"b"})"));
    QCOMPARE(FinishedA.at(0).at(0).value<QNetworkReply::NetworkError>(), QNetworkReply::NoError);
}

QTEST_MAIN(TestSurvey)
#include "tst_survey.moc"
