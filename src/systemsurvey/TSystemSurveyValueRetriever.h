#pragma once

#include "TSystemSurvey.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <vector>

namespace systemsurvey {

// Reads each survey value from the platform. No operation fails: every value has a
// fallback (0, empty text or a fixed text). Every operation is virtual so that another
// platform or a test can put its own values in.
class TSystemSurveyValueRetriever {
public:
    // Where the values come from. The defaults are the real machine; tests point them
    // at fixtures.
    struct TInputs {
        QString m_CpuInfoPath = QStringLiteral("/proc/cpuinfo");
        QString m_ReleaseToolName = QStringLiteral("lsb_release");
        // Started when the first tool cannot be started at all.
        QString m_FallbackReleaseToolName = QStringLiteral("lsb-release");
        // Directories searched for the release tools; empty: the process's PATH.
        QStringList m_ExecutableSearchPaths;
        // Each wait for the release tool (start, finish) is bounded by this.
        int m_ReleaseToolTimeoutMs = 30000;
    };

    // The four registers of one cpuid leaf.
    struct TCpuidRegisters {
        quint32 m_Eax = 0;
        quint32 m_Ebx = 0;
        quint32 m_Ecx = 0;
        quint32 m_Edx = 0;
    };

    TSystemSurveyValueRetriever();
    explicit TSystemSurveyValueRetriever(TInputs Inputs);
    virtual ~TSystemSurveyValueRetriever();

    // One record per screen in screen order; needs the application object.
    virtual std::vector<TMonitorInfo> getMonitors() const;
    virtual TCpuInfo getCpu() const;
    virtual TOperatingSystemInfo getOperatingSystem() const;
    // Bytes of physical memory; 0 when the system does not tell.
    virtual quint64 getMainMemorySize() const;
    virtual void getProcessorCounts(quint64& NumaNodeCount, quint64& PhysicalCount, quint64& CoreCount, quint64& LogicalCoreCount) const;
    // Highest "cpu MHz" of any logical processor; 0.0 when unknown.
    virtual double getClockSpeed() const;
    virtual std::vector<TGpuInfo> getGpus() const;

    const TInputs& inputs() const { return m_Inputs; }

    // Manufacturer name of a 12-byte cpuid vendor string; "Unknown Manufacturer" when
    // the string is not one we know.
    static QString manufacturerFromVendorString(const QByteArray& VendorString);

protected:
    // cpuid with sub-leaf 0; all zero on processors without the instruction.
    virtual TCpuidRegisters cpuid(quint32 Leaf) const;
    // The release tool's standard output for Arguments, simplified; empty when neither
    // tool runs to its end in time.
    virtual QString runReleaseTool(const QStringList& Arguments) const;

private:
    QString resolveExecutable(const QString& Name) const;

    TInputs m_Inputs;
};

} // namespace systemsurvey
