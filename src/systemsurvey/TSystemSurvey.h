#pragma once

#include <QString>
#include <QtGlobal>

#include <vector>

namespace systemsurvey {

// One screen of the desktop.
struct TMonitorInfo {
    qint64 m_Width = 0; // pixels (a 32-bit value)
    qint64 m_Height = 0; // pixels (a 32-bit value)
    bool m_Primary = false;
    quint64 m_RefreshRate = 0; // hertz, fraction dropped
};

struct TOperatingSystemInfo {
    QString m_BaseSystem;
    QString m_Name;
    QString m_Release;
};

struct TCpuInfo {
    QString m_Manufacturer;
    QString m_BrandName;
    bool m_Is64Bit = false;
    bool m_Sse = false;
    bool m_Sse2 = false;
    quint64 m_NumaNodeCount = 0;
    quint64 m_PhysicalCount = 0; // distinct processor packages
    quint64 m_CoreCount = 0; // cores per package
    quint64 m_LogicalCoreCount = 0;
    double m_ClockSpeed = 0.0; // highest current clock of any logical processor, MHz
};

struct TGpuInfo {
    QString m_DeviceString;
    qint64 m_VideoMemorySize = 0; // bytes
    qint32 m_VendorId = 0; // 0: not known
    qint32 m_DeviceId = 0; // 0: not known
    QString m_DriverVersion; // empty: not known
};

// Everything the hardware survey reports about this machine.
struct TSystemSurvey {
    std::vector<TMonitorInfo> m_Monitors;
    TOperatingSystemInfo m_OperatingSystem;
    quint64 m_MainMemorySize = 0; // bytes, 0 when unknown
    TCpuInfo m_Cpu;
    std::vector<TGpuInfo> m_Gpus;
};

} // namespace systemsurvey
