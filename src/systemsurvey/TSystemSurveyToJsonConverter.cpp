#include "TSystemSurveyToJsonConverter.h"

#include "SurveyClientId.h"

#include <QJsonArray>
#include <QJsonObject>

#include <limits>

namespace systemsurvey {

namespace {

// Counts and pixel sizes go out as 32-bit integers; a value that does not fit is
// clamped rather than wrapped into a negative number.
int toInt32(quint64 Value)
{
    return Value > quint64(std::numeric_limits<int>::max()) ? std::numeric_limits<int>::max() : int(Value);
}

int toInt32(qint64 Value)
{
    if (Value > std::numeric_limits<int>::max()) {
        return std::numeric_limits<int>::max();
    }
    if (Value < std::numeric_limits<int>::min()) {
        return std::numeric_limits<int>::min();
    }
    return int(Value);
}

qint64 toInt64(quint64 Value)
{
    return Value > quint64(std::numeric_limits<qint64>::max()) ? std::numeric_limits<qint64>::max() : qint64(Value);
}

} // namespace

TSystemSurveyToJsonConverter::~TSystemSurveyToJsonConverter() = default;

QJsonDocument TSystemSurveyToJsonConverter::convert(const TSystemSurvey& Survey)
{
    QJsonArray Monitors;
    for (const TMonitorInfo& Monitor : Survey.m_Monitors) {
        QJsonObject Object;
        Object.insert(QStringLiteral("width"), toInt32(Monitor.m_Width));
        Object.insert(QStringLiteral("height"), toInt32(Monitor.m_Height));
        Object.insert(QStringLiteral("primary"), Monitor.m_Primary);
        Object.insert(QStringLiteral("refreshRate"), toInt32(Monitor.m_RefreshRate));
        Monitors.append(Object);
    }

    QJsonObject OperatingSystem;
    OperatingSystem.insert(QStringLiteral("baseSystem"), Survey.m_OperatingSystem.m_BaseSystem);
    OperatingSystem.insert(QStringLiteral("name"), Survey.m_OperatingSystem.m_Name);
    OperatingSystem.insert(QStringLiteral("release"), Survey.m_OperatingSystem.m_Release);

    const TCpuInfo& CpuInfo = Survey.m_Cpu;
    QJsonObject Cpu;
    Cpu.insert(QStringLiteral("manufacturer"), CpuInfo.m_Manufacturer);
    Cpu.insert(QStringLiteral("brandName"), CpuInfo.m_BrandName);
    Cpu.insert(QStringLiteral("64Bit"), CpuInfo.m_Is64Bit);
    Cpu.insert(QStringLiteral("sse"), CpuInfo.m_Sse);
    Cpu.insert(QStringLiteral("sse2"), CpuInfo.m_Sse2);
    Cpu.insert(QStringLiteral("NUMANumber"), toInt32(CpuInfo.m_NumaNodeCount));
    Cpu.insert(QStringLiteral("physicalNumber"), toInt32(CpuInfo.m_PhysicalCount));
    Cpu.insert(QStringLiteral("coreNumber"), toInt32(CpuInfo.m_CoreCount));
    Cpu.insert(QStringLiteral("logicalCoreNumber"), toInt32(CpuInfo.m_LogicalCoreCount));
    Cpu.insert(QStringLiteral("clockSpeed"), CpuInfo.m_ClockSpeed);

    QJsonArray Gpus;
    for (const TGpuInfo& GpuInfo : Survey.m_Gpus) {
        QJsonObject Gpu;
        Gpu.insert(QStringLiteral("deviceString"), GpuInfo.m_DeviceString);
        Gpu.insert(QStringLiteral("videoMemorySize"), GpuInfo.m_VideoMemorySize);
        if (GpuInfo.m_VendorId != 0) {
            Gpu.insert(QStringLiteral("vendorId"), GpuInfo.m_VendorId);
        }
        if (GpuInfo.m_DeviceId != 0) {
            Gpu.insert(QStringLiteral("deviceId"), GpuInfo.m_DeviceId);
        }
        if (!GpuInfo.m_DriverVersion.isEmpty()) {
            Gpu.insert(QStringLiteral("driverVersion"), GpuInfo.m_DriverVersion);
        }
        Gpus.append(Gpu);
    }

    QJsonObject Root;
    Root.insert(QStringLiteral("dataType"), 0);
    Root.insert(QStringLiteral("clientID"), clientId());
    Root.insert(QStringLiteral("monitors"), Monitors);
    Root.insert(QStringLiteral("operatingSystem"), OperatingSystem);
    Root.insert(QStringLiteral("mainMemorySize"), toInt64(Survey.m_MainMemorySize));
    Root.insert(QStringLiteral("cpu"), Cpu);
    Root.insert(QStringLiteral("gpu"), Gpus);
    return QJsonDocument(Root);
}

} // namespace systemsurvey
