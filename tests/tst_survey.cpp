#include "TestEnvironment.h"

#include "support/LoopbackHttpServer.h"

#include "SurveyClientId.h"

#include <QSettings>
#include "TJsonDocumentHttpPostSender.h"
#include "TJsonDocumentUploaderBase.h"
#include "TSystemSurveyAsJsonDocumentCreator.h"
#include "TSystemSurveyCreator.h"
#include "TSystemSurveyToJsonConverter.h"
#include "TSystemSurveyUploader.h"
#include "TSystemSurveyValueRetriever.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QMap>
#include <QNetworkAccessManager>
#include <QSettings>
#include <QSignalSpy>
#include <QtEndian>
#include <QTemporaryDir>
#include <QtTest>

using namespace systemsurvey;
using shared::TJsonDocumentHttpPostSender;
using shared::TJsonDocumentUploaderBase;
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
    return qFromLittleEndian<quint32>(Bytes.constData() + Offset);
}

// A processor described by its cpuid leaves.
class TFakeCpuRetriever : public TSystemSurveyValueRetriever {
public:
    explicit TFakeCpuRetriever(const QString& CpuInfoPath)
        : TSystemSurveyValueRetriever([&] {
            TInputs Inputs;
            Inputs.m_CpuInfoPath = CpuInfoPath;
            return Inputs;
        }())
    {
    }
    void setVendor(const QByteArray& Vendor, quint32 HighestLeaf)
    {
        m_Leaves[0] = {HighestLeaf, registerOf(Vendor, 0), registerOf(Vendor, 8), registerOf(Vendor, 4)};
    }
    void setBrand(const QByteArray& Brand48)
    {
        for (int Leaf = 0; Leaf < 3; ++Leaf) {
            const int Base = Leaf * 16;
            m_Leaves[0x80000002u + Leaf] = {registerOf(Brand48, Base), registerOf(Brand48, Base + 4), registerOf(Brand48, Base + 8),
                                            registerOf(Brand48, Base + 12)};
        }
    }
    QMap<quint32, TRegisters> m_Leaves;

protected:
    TRegisters cpuid(quint32 Leaf) const override { return m_Leaves.value(Leaf); }
};

// Fixed values for every operation.
class TFixedRetriever : public TSystemSurveyValueRetriever {
public:
    std::vector<TMonitorInfo> getMonitors() const override { return {{1920, 1080, false, 60}, {2560, 1440, true, 144}}; }
    TOperatingSystemInfo getOperatingSystem() const override { return {"Linux", "Fakix", "7.1"}; }
    quint64 getMainMemorySize() const override { return Q_UINT64_C(17179869184); }
    void getProcessorCounts(quint64& Numa, quint64& Physical, quint64& Cores, quint64& Logical) const override
    {
        Numa = 0, Physical = 1, Cores = 4, Logical = 8;
    }
    double getClockSpeed() const override { return 3400.5; }

protected:
    TRegisters cpuid(quint32) const override { return {}; }
};

std::shared_ptr<TSystemSurveyAsJsonDocumentCreator> documentCreatorOn(std::shared_ptr<TSystemSurveyValueRetriever> pRetriever)
{
    return std::make_shared<TSystemSurveyAsJsonDocumentCreator>(std::make_shared<TSystemSurveyCreator>(pRetriever),
                                                                std::make_shared<TSystemSurveyToJsonConverter>());
}

} // namespace

class TestSurvey : public QObject {
    Q_OBJECT
private slots:
    void processorFromCpuinfoAndCpuid();
    void releaseToolFallbackAndOutput();
    void documentKeysAndTypes();
    void clientId();
    void uploaderAnswers_data();
    void uploaderAnswers();
    void postedRequest();
};

void TestSurvey::processorFromCpuinfoAndCpuid()
{
    QTemporaryDir Directory;
    const QString Path = Directory.filePath(QStringLiteral("cpuinfo"));
    // the model name "Common KVM processor" must not count as a ninth..sixteenth processor
    writeFile(Path, cpuInfoBlocks({0, 0, 0, 0, 0, 0, 0, 0}, 4, {"800.000", "3400.000"}));
    TFakeCpuRetriever Intel(Path);
    Intel.setVendor("GenuineIntel", 0x16);
    Intel.m_Leaves[1] = {0, 0, 0, (1u << 25) | (1u << 26)};
    Intel.m_Leaves[0x80000000u] = {0x80000008u, 0, 0, 0};
    Intel.m_Leaves[0x80000001u] = {0, 0, 0, 1u << 29};
    Intel.setBrand(QByteArray("  Intel(R) Core(TM)   i7-1065G7 CPU @ 1.30GHz").leftJustified(48, '\0'));
    const TCpuInfo Cpu = Intel.getCpu();
    QCOMPARE(Cpu.m_Manufacturer, QStringLiteral("Intel"));
    QCOMPARE(Cpu.m_BrandName, QStringLiteral("Intel(R) Core(TM) i7-1065G7 CPU @ 1.30GHz"));
    QVERIFY(Cpu.m_Is64Bit && Cpu.m_Sse && Cpu.m_Sse2);
    // logical, physical, cores, NUMA nodes
    QCOMPARE((QList<quint64> {Cpu.m_LogicalCoreCount, Cpu.m_PhysicalCount, Cpu.m_CoreCount, Cpu.m_NumaNodeCount}),
             (QList<quint64> {8, 1, 4, 0}));
    QCOMPARE(Cpu.m_ClockSpeed, 3400.0); // the highest "cpu MHz"

    // an unreadable speed is skipped; no file at all gives zeros, not an error
    writeFile(Path, "cpu MHz\t\t: fast\ncpu MHz\t\t: 1200.5\ncpu MHz : nan\n");
    QCOMPARE(Intel.getClockSpeed(), 1200.5);
    quint64 Numa = 99, Physical = 99, Cores = 99, Logical = 99;
    TFakeCpuRetriever(Directory.filePath(QStringLiteral("absent"))).getProcessorCounts(Numa, Physical, Cores, Logical);
    QVERIFY(Numa == 0 && Physical == 0 && Cores == 0 && Logical == 0);

    const QPair<QByteArray, QString> Vendors[] = {{"AuthenticAMD", "AMD"},
                                                  {"GenuineIntel", "Intel"},
                                                  {"XenVMMXenVMM", " Xen HVM"},
                                                  {"Vortex86 SoC", " Vortex"},
                                                  {"genuineintel", "Unknown Manufacturer"},
                                                  {"NotAVendor!!", "Unknown Manufacturer"}};
    for (const auto& [Vendor, Name] : Vendors) {
        QCOMPARE(TSystemSurveyValueRetriever::manufacturerFromVendorString(Vendor), Name);
    }
}

void TestSurvey::releaseToolFallbackAndOutput()
{
    QTemporaryDir Directory;
    const QString Bin = Directory.path();
    const auto Retriever = [&]() {
        TInputs Inputs;
        Inputs.m_ExecutableSearchPaths = QStringList {Bin};
        return TSystemSurveyValueRetriever(Inputs);
    };

    // neither tool: empty name and release
    TOperatingSystemInfo System = Retriever().getOperatingSystem();
    QCOMPARE(System.m_BaseSystem, QStringLiteral("Linux"));
    QVERIFY(System.m_Name.isEmpty() && System.m_Release.isEmpty());

    // only the second name exists: its output is used, white space simplified
    writeFile(Bin + "/lsb-release",
              "#!/bin/sh\ncase \"$1 $2\" in\n"
              "  \"-s -i\") printf '  Fakix \\t  Linux\\n\\n' ;;\n"
              "  \"-s -r\") printf '7.1\\000trailing bytes after a zero\\n' ;;\n"
              "esac\n",
              true);
    System = Retriever().getOperatingSystem();
    QCOMPARE(System.m_Name, QStringLiteral("Fakix Linux"));
    QCOMPARE(System.m_Release, QStringLiteral("7.1"));

    // a first tool that runs is preferred
    writeFile(Bin + "/lsb_release", "#!/bin/sh\necho \"first $*\"\n", true);
    System = Retriever().getOperatingSystem();
    QCOMPARE(System.m_Name, QStringLiteral("first -s -i"));
    QCOMPARE(System.m_Release, QStringLiteral("first -s -r"));
}

void TestSurvey::documentKeysAndTypes()
{
    // whole-object comparisons: QJsonValue equality also tells numbers, booleans and
    // strings apart
    TSystemSurvey Survey = TSystemSurveyCreator(std::make_shared<TFixedRetriever>()).createSurvey();
    Survey.m_Gpus.push_back({"Adapter", Q_INT64_C(8589934592), 0x10de, 0x2484, "535.1"});
    const QJsonObject Root = TSystemSurveyToJsonConverter().convert(Survey).object();

    QCOMPARE(Root.keys(), QStringList({"clientID", "cpu", "dataType", "gpu", "mainMemorySize", "monitors", "operatingSystem"}));
    QCOMPARE(Root["dataType"], QJsonValue(0));
    QCOMPARE(Root["clientID"], QJsonValue(systemsurvey::clientId()));
    QCOMPARE(Root["mainMemorySize"].toVariant().toLongLong(), Q_INT64_C(17179869184));
    QCOMPARE(Root["monitors"],
             QJsonValue(QJsonArray({QJsonObject {{"width", 1920}, {"height", 1080}, {"primary", false}, {"refreshRate", 60}},
                                    QJsonObject {{"width", 2560}, {"height", 1440}, {"primary", true}, {"refreshRate", 144}}})));
    QCOMPARE(Root["operatingSystem"], QJsonValue(QJsonObject {{"baseSystem", "Linux"}, {"name", "Fakix"}, {"release", "7.1"}}));
    QCOMPARE(Root["cpu"],
             QJsonValue(QJsonObject {{"manufacturer", "Unknown Manufacturer"},
                                     {"brandName", "Acquiring Brand Name not supported"},
                                     {"64Bit", false},
                                     {"sse", false},
                                     {"sse2", false},
                                     {"NUMANumber", 0},
                                     {"physicalNumber", 1},
                                     {"coreNumber", 4},
                                     {"logicalCoreNumber", 8},
                                     {"clockSpeed", 3400.5}}));
    // optional adapter keys only where known
    QCOMPARE(Root["gpu"],
             QJsonValue(QJsonArray({QJsonObject {{"deviceString", "not implemented"}, {"videoMemorySize", 0}},
                                    QJsonObject {{"deviceString", "Adapter"},
                                                 {"videoMemorySize", 8589934592.0},
                                                 {"vendorId", 0x10de},
                                                 {"deviceId", 0x2484},
                                                 {"driverVersion", "535.1"}}})));
}

void TestSurvey::clientId()
{
    const QRegularExpression Form(QStringLiteral("^[0-9a-f]{40}$"));
    QTemporaryDir Directory;
    QSettings Store(Directory.filePath(QStringLiteral("player.ini")), QSettings::IniFormat);
    const QString First = clientIdFromStore(Store);
    QVERIFY(Form.match(First).hasMatch());

    // stable for the player: the secret was stored and is read back, also by a new store
    QCOMPARE(clientIdFromStore(Store), First);
    QSettings Reopened(Directory.filePath(QStringLiteral("player.ini")), QSettings::IniFormat);
    QCOMPARE(clientIdFromStore(Reopened), First);

    // another player's settings, on the same machine with the same interfaces: another id
    QSettings Other(Directory.filePath(QStringLiteral("other.ini")), QSettings::IniFormat);
    QVERIFY(clientIdFromStore(Other) != First);

    // the id is the stored secret's, nothing else goes in: the machine's interface
    // addresses cannot be recovered from it
    QCOMPARE(First, createClientId(clientSecret(Store)));
    QVERIFY(createClientId(QByteArray(32, '\x01')) != createClientId(QByteArray(32, '\x02')));

    // a reset makes a new secret and so an id that cannot be linked with the old one
    resetClientId(Store);
    const QString AfterReset = clientIdFromStore(Store);
    QVERIFY(Form.match(AfterReset).hasMatch());
    QVERIFY(AfterReset != First);

    // a damaged stored secret is replaced, not used
    Store.setValue(QLatin1String(kClientSecretKey), QStringLiteral("not hex"));
    const QString AfterDamage = clientIdFromStore(Store);
    QVERIFY(Form.match(AfterDamage).hasMatch());
    QVERIFY(AfterDamage != AfterReset);
    QCOMPARE(Store.value(QLatin1String(kClientSecretKey)).toString().size(), 64);

    // the process-wide id comes from the launcher's own store
    QSettings LauncherStore(QStringLiteral("Halvern GmbH"), QStringLiteral("Torvane Online"));
    QCOMPARE(systemsurvey::clientId(), clientIdFromStore(LauncherStore));
}

void TestSurvey::uploaderAnswers_data()
{
    QTest::addColumn<QByteArray>("Body");
    QTest::addColumn<bool>("Success");
    QTest::addColumn<int>("Code");
    QTest::addColumn<QString>("Message"); // "*": any non-empty text

    QTest::newRow("accepted") << QByteArray(R"({"errorCode":0,"errorMessage":"none"})") << true << 0 << QString();
    QTest::newRow("rejected") << QByteArray(R"({"errorCode":7,"errorMessage":"quota exceeded"})") << false << 7 << "quota exceeded";
    QTest::newRow("not JSON") << QByteArray("<html>busy</html>") << false << -100 << "*";
}

void TestSurvey::uploaderAnswers()
{
    QFETCH(QByteArray, Body);
    QFETCH(QString, Message);
    TLoopbackHttpServer Server;
    Server.setBody(QStringLiteral("/answer"), Body, "application/json");

    TJsonDocumentUploaderBase Uploader(std::make_shared<TJsonDocumentHttpPostSender>(std::make_shared<QNetworkAccessManager>()));
    QSignalSpy Finished(&Uploader, &TJsonDocumentUploaderBase::finished);
    Uploader.send(Server.url(QStringLiteral("/answer")), QJsonDocument(QJsonObject {{"dataType", 0}}));
    QVERIFY(Finished.wait(10000));
    QCOMPARE(Finished.size(), 1);
    QTEST(Finished.at(0).at(0).toBool(), "Success");
    QTEST(int(Uploader.getLastErrorCode()), "Code");
    if (Message == QLatin1String("*")) {
        QVERIFY(!Uploader.getLastErrorMessage().isEmpty());
    } else {
        QCOMPARE(Uploader.getLastErrorMessage(), Message);
    }
    QCOMPARE(Finished.at(0).at(1).value<QJsonDocument>(), QJsonDocument::fromJson(Body));
}

void TestSurvey::postedRequest()
{
    TLoopbackHttpServer Server;
    Server.setBody(QStringLiteral("/survey/upload"), "{}", "application/json");
    auto pDocumentCreator = documentCreatorOn(std::make_shared<TFixedRetriever>());
    auto pSender = std::make_shared<TJsonDocumentHttpPostSender>(std::make_shared<QNetworkAccessManager>());
    TSystemSurveyUploader Uploader(pSender, Server.url(QStringLiteral("/survey/upload")), pDocumentCreator);
    QSignalSpy Finished(&Uploader, &TSystemSurveyUploader::finished);
    Uploader.upload();
    QVERIFY(Finished.wait(10000));
    QVERIFY(Finished.at(0).at(0).toBool());

    const QVector<testsupport::TCapturedRequest> Requests = Server.capturedRequests();
    QCOMPARE(Requests.size(), 1);
    QCOMPARE(Requests[0].m_Method, QByteArray("POST"));
    QCOMPARE(Requests[0].m_Path, QByteArray("/survey/upload"));
    QCOMPARE(Requests[0].header("content-type"), QByteArray("application/json"));
    QCOMPARE(Requests[0].header("content-disposition"), QByteArray("form-data; name=\"metadata\""));
    QCOMPARE(Requests[0].m_Body, pDocumentCreator->createDocument().toJson(QJsonDocument::Compact));
    const QJsonObject Posted = QJsonDocument::fromJson(Requests[0].m_Body).object();
    QCOMPARE(Posted["clientID"].toString(), systemsurvey::clientId());
    QCOMPARE(Posted["cpu"].toObject()["logicalCoreNumber"].toInt(), 8);
}

QTEST_MAIN(TestSurvey)
#include "tst_survey.moc"
