#include "TSystemSurveyValueRetriever.h"

#include <QFile>
#include <QGuiApplication>
#include <QProcess>
#include <QScreen>
#include <QStandardPaths>

#include <algorithm>
#include <cmath>
#include <limits>
#include <set>
#include <utility>

#include <unistd.h>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#define SYSTEMSURVEY_HAVE_CPUID 1
#endif

namespace systemsurvey {

namespace {

const char* const kUnknownManufacturer = "Unknown Manufacturer";
const char* const kBrandNameNotSupported = "Acquiring Brand Name not supported";

// cpuid leaf 0 vendor strings and the names we report for them. The leading blanks of
// " Vortex" and " Xen HVM" are part of the reported texts.
const std::pair<const char*, const char*> kVendorTable[] = {
    {"AMDisbetter!", "AMD"},       {"AuthenticAMD", "AMD"},
    {"CentaurHauls", "Centaur"},   {"CyrixInstead", "Cyrix"},
    {"GenuineIntel", "Intel"},     {"TransmetaCPU", "Transmeta"},
    {"GenuineTMx86", "Transmeta"}, {"Geode by NSC", "National Semiconductor"},
    {"NexGenDriven", "NexGen"},    {"RiseRiseRise", "Rise"},
    {"SiS SiS SiS ", "SiS"},       {"UMC UMC UMC ", "UMC"},
    {"VIA VIA VIA ", "VIA"},       {"Vortex86 SoC", " Vortex"},
    {"KVMKVMKVMKVM", "KVM"},       {"Microsoft Hv", "Microsoft Hyper-V or Windows Virtual PC"},
    {"VMwareVMware", "VMware"},    {"XenVMMXenVMM", " Xen HVM"},
};

void appendRegister(QByteArray& Bytes, quint32 Register)
{
    for (int Shift = 0; Shift < 32; Shift += 8) {
        Bytes.append(static_cast<char>((Register >> Shift) & 0xFFu));
    }
}

QByteArray cutAtFirstZeroByte(const QByteArray& Bytes)
{
    const int Zero = Bytes.indexOf('\0');
    return Zero < 0 ? Bytes : Bytes.left(Zero);
}

// One "key : value" line of the cpuinfo file, both sides trimmed.
struct TCpuInfoEntry {
    QByteArray m_Key;
    QByteArray m_Value;
};

// The entries of the cpuinfo file; false when it cannot be opened. The values are
// matched by their whole key: a model name such as "Common KVM processor" must not be
// taken for a "processor" line.
bool readCpuInfo(const QString& Path, std::vector<TCpuInfoEntry>& Entries)
{
    QFile File(Path);
    if (!File.open(QIODevice::ReadOnly)) {
        return false;
    }
    // /proc files report size 0, so read until the end rather than by size
    const QByteArray Content = File.readAll();
    for (const QByteArray& Line : Content.split('\n')) {
        const int Colon = Line.indexOf(':');
        if (Colon < 0) {
            continue;
        }
        Entries.push_back({Line.left(Colon).trimmed(), Line.mid(Colon + 1).trimmed()});
    }
    return true;
}

} // namespace

TSystemSurveyValueRetriever::TSystemSurveyValueRetriever()
    : TSystemSurveyValueRetriever(TInputs())
{
}

TSystemSurveyValueRetriever::TSystemSurveyValueRetriever(TInputs Inputs)
    : m_Inputs(std::move(Inputs))
{
}

TSystemSurveyValueRetriever::~TSystemSurveyValueRetriever() = default;

std::vector<TMonitorInfo> TSystemSurveyValueRetriever::getMonitors() const
{
    // Count and entries both come from the one screen list, so an index can never run
    // past it; without an application object the list is empty.
    std::vector<TMonitorInfo> Monitors;
    const QList<QScreen*> Screens = QGuiApplication::screens();
    const QScreen* pPrimary = QGuiApplication::primaryScreen();
    for (const QScreen* pScreen : Screens) {
        TMonitorInfo Monitor;
        const QRect Geometry = pScreen->geometry();
        Monitor.m_Width = Geometry.right() - Geometry.left() + 1;
        Monitor.m_Height = Geometry.bottom() - Geometry.top() + 1;
        Monitor.m_Primary = pScreen == pPrimary;
        const qreal RefreshRate = pScreen->refreshRate();
        if (std::isfinite(RefreshRate) && RefreshRate > 0.0) {
            Monitor.m_RefreshRate = RefreshRate >= 1.0e18 ? quint64(1.0e18) : static_cast<quint64>(RefreshRate);
        }
        Monitors.push_back(Monitor);
    }
    return Monitors;
}

TCpuInfo TSystemSurveyValueRetriever::getCpu() const
{
    TCpuInfo Cpu;

    const TCpuidRegisters Leaf0 = cpuid(0);
    QByteArray Vendor;
    appendRegister(Vendor, Leaf0.m_Ebx);
    appendRegister(Vendor, Leaf0.m_Edx);
    appendRegister(Vendor, Leaf0.m_Ecx);
    Cpu.m_Manufacturer = manufacturerFromVendorString(Vendor);

    const quint32 HighestExtendedLeaf = cpuid(0x80000000u).m_Eax;
    if (HighestExtendedLeaf > 0x80000003u) {
        QByteArray Brand;
        for (quint32 Leaf = 0x80000002u; Leaf <= 0x80000004u; ++Leaf) {
            const TCpuidRegisters Registers = cpuid(Leaf);
            appendRegister(Brand, Registers.m_Eax);
            appendRegister(Brand, Registers.m_Ebx);
            appendRegister(Brand, Registers.m_Ecx);
            appendRegister(Brand, Registers.m_Edx);
        }
        // the 48 bytes need not end in a zero byte
        Cpu.m_BrandName = QString::fromUtf8(cutAtFirstZeroByte(Brand)).simplified();
    } else {
        Cpu.m_BrandName = QString::fromLatin1(kBrandNameNotSupported);
    }
    if (HighestExtendedLeaf > 0x80000000u) {
        Cpu.m_Is64Bit = (cpuid(0x80000001u).m_Edx >> 29) & 1u;
    }
    // leaf 1 only where leaf 0 says it exists; beyond the highest leaf some processors
    // repeat another leaf's data
    if (Leaf0.m_Eax >= 1u) {
        const quint32 FeatureBits = cpuid(1).m_Edx;
        Cpu.m_Sse = (FeatureBits >> 25) & 1u;
        Cpu.m_Sse2 = (FeatureBits >> 26) & 1u;
    }

    getProcessorCounts(Cpu.m_NumaNodeCount, Cpu.m_PhysicalCount, Cpu.m_CoreCount, Cpu.m_LogicalCoreCount);
    Cpu.m_ClockSpeed = getClockSpeed();
    return Cpu;
}

TOperatingSystemInfo TSystemSurveyValueRetriever::getOperatingSystem() const
{
    TOperatingSystemInfo System;
    System.m_BaseSystem = QStringLiteral("Linux");
    System.m_Name = runReleaseTool({QStringLiteral("-s"), QStringLiteral("-i")});
    System.m_Release = runReleaseTool({QStringLiteral("-s"), QStringLiteral("-r")});
    return System;
}

quint64 TSystemSurveyValueRetriever::getMainMemorySize() const
{
    const long Pages = sysconf(_SC_PHYS_PAGES);
    const long PageSize = sysconf(_SC_PAGESIZE);
    if (Pages <= 0 || PageSize <= 0) {
        return 0;
    }
    return static_cast<quint64>(Pages) * static_cast<quint64>(PageSize);
}

void TSystemSurveyValueRetriever::getProcessorCounts(quint64& NumaNodeCount, quint64& PhysicalCount, quint64& CoreCount,
                                                     quint64& LogicalCoreCount) const
{
    NumaNodeCount = 0;
    PhysicalCount = 0;
    CoreCount = 0;
    LogicalCoreCount = 0;
    std::vector<TCpuInfoEntry> Entries;
    if (!readCpuInfo(m_Inputs.m_CpuInfoPath, Entries)) {
        return;
    }
    std::set<QByteArray> PhysicalIds;
    for (const TCpuInfoEntry& Entry : Entries) {
        if (Entry.m_Key == "processor") {
            ++LogicalCoreCount;
        } else if (Entry.m_Key == "physical id") {
            PhysicalIds.insert(Entry.m_Value);
        } else if (Entry.m_Key == "cpu cores") {
            bool Valid = false;
            const quint64 Cores = Entry.m_Value.toULongLong(&Valid);
            if (Valid) {
                CoreCount = Cores; // the last one wins
            }
        }
    }
    PhysicalCount = PhysicalIds.size();
}

double TSystemSurveyValueRetriever::getClockSpeed() const
{
    double Highest = 0.0;
    std::vector<TCpuInfoEntry> Entries;
    if (!readCpuInfo(m_Inputs.m_CpuInfoPath, Entries)) {
        return Highest;
    }
    for (const TCpuInfoEntry& Entry : Entries) {
        if (Entry.m_Key != "cpu MHz") {
            continue;
        }
        bool Valid = false;
        const double Speed = Entry.m_Value.toDouble(&Valid);
        if (Valid && std::isfinite(Speed) && Speed > Highest) {
            Highest = Speed;
        }
    }
    return Highest;
}

std::vector<TGpuInfo> TSystemSurveyValueRetriever::getGpus() const
{
    // no adapter query on this platform: one fixed record
    TGpuInfo Gpu;
    Gpu.m_DeviceString = QStringLiteral("not implemented");
    return {Gpu};
}

QString TSystemSurveyValueRetriever::manufacturerFromVendorString(const QByteArray& VendorString)
{
    for (const auto& Row : kVendorTable) {
        if (VendorString == QByteArray(Row.first)) {
            return QString::fromLatin1(Row.second);
        }
    }
    return QString::fromLatin1(kUnknownManufacturer);
}

TSystemSurveyValueRetriever::TCpuidRegisters TSystemSurveyValueRetriever::cpuid(quint32 Leaf) const
{
    TCpuidRegisters Registers;
#ifdef SYSTEMSURVEY_HAVE_CPUID
    unsigned int Eax = 0, Ebx = 0, Ecx = 0, Edx = 0;
    __cpuid_count(Leaf, 0, Eax, Ebx, Ecx, Edx);
    Registers.m_Eax = Eax;
    Registers.m_Ebx = Ebx;
    Registers.m_Ecx = Ecx;
    Registers.m_Edx = Edx;
#else
    Q_UNUSED(Leaf);
#endif
    return Registers;
}

QString TSystemSurveyValueRetriever::runReleaseTool(const QStringList& Arguments) const
{
    QProcess Process;
    // stderr is not used; do not let a chatty tool fill memory with it
    Process.setStandardErrorFile(QProcess::nullDevice());

    bool FailedToStart = false;
    const auto Start = [&](const QString& Name) {
        const QString Program = resolveExecutable(Name);
        if (Program.isEmpty()) {
            FailedToStart = true;
            return false;
        }
        Process.start(Program, Arguments, QIODevice::ReadWrite);
        if (Process.waitForStarted(m_Inputs.m_ReleaseToolTimeoutMs)) {
            return true;
        }
        FailedToStart = Process.error() == QProcess::FailedToStart;
        return false;
    };

    bool Started = Start(m_Inputs.m_ReleaseToolName);
    if (!Started && FailedToStart) {
        Started = Start(m_Inputs.m_FallbackReleaseToolName);
    }
    if (!Started) {
        return QString();
    }
    // the tool gets no input: a tool that reads it sees the end at once instead of
    // blocking until the time-out
    Process.closeWriteChannel();
    if (!Process.waitForFinished(m_Inputs.m_ReleaseToolTimeoutMs)) {
        Process.kill();
        Process.waitForFinished(m_Inputs.m_ReleaseToolTimeoutMs);
        return QString();
    }
    return QString::fromLatin1(cutAtFirstZeroByte(Process.readAllStandardOutput())).simplified();
}

QString TSystemSurveyValueRetriever::resolveExecutable(const QString& Name) const
{
    if (m_Inputs.m_ExecutableSearchPaths.isEmpty()) {
        return Name; // QProcess searches the process's PATH
    }
    return QStandardPaths::findExecutable(Name, m_Inputs.m_ExecutableSearchPaths);
}

} // namespace systemsurvey
