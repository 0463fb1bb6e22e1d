#pragma once

#include "TPackage.h"
#include "TPackageFileDownloader.h"

#include <QGroupBox>
#include <QLabel>
#include <QPointer>
#include <QVBoxLayout>

#include <cstdint>
#include <memory>

class QCheckBox;
class QContextPushButton;
class QProgressBar;

namespace zarvo::launcher {

class TPackageInstallation;

// The tile of one client package in the main window's grid: logo, action button
// (Download, Update, Play; a progress bar in its place while a job runs), optional name,
// status line (version or progress figures) and the "Default Client" check box.
class TClientPackageLayoutItem final : public QVBoxLayout {
    Q_OBJECT
public:
    TClientPackageLayoutItem(std::shared_ptr<TPackage> pPackage, bool ShowPackageNames);
    ~TClientPackageLayoutItem() override;

    const std::shared_ptr<TPackage>& package() const { return m_pPackage; }
    QCheckBox* defaultClientCheckbox() const { return m_pDefaultClientCheckbox; }
    QLabel* logoLabel() const { return m_pLogoLabel; }
    QLabel* nameLabel() const { return m_pNameLabel; }
    QLabel* statusLabel() const { return m_pStatusLabel; }
    QContextPushButton* button() const { return m_pButton; }
    QProgressBar* progressBar() const { return m_pProgressBar; }
    QGroupBox* groupBox() const { return m_pGroupBox; }

    // Checks or clears "Default Client" when it differs (its change is reported as usual).
    void setDefaultClientChecked(bool Checked);

    // The download rate shown in the bar: powers of 1024 as thresholds, powers of 1000
    // as divisors ("1048.6 KB/s" for 1048576 bytes per second, "1.0 MB/s" above).
    static QString formatRate(std::uint64_t BytesPerSecond);
    // Bar value in 1/10000 of Done / Total, 0 when Total is 0.
    static int progressValue(TFileSize Done, TFileSize Total);
    // "1.5/3.0 MB".
    static QString progressFigures(TFileSize Done, TFileSize Total);

signals:
    void defaultChanged(std::shared_ptr<zarvo::launcher::TPackage> pPackage, bool IsDefault);
    void buttonClicked(std::shared_ptr<zarvo::launcher::TPackage> pPackage);
    void verifyButtonClicked(std::shared_ptr<zarvo::launcher::TPackage> pPackage);

public slots:
    void onInstallationOrUpdateStarted(const zarvo::launcher::TPackageInstallation& InstallationInProgress);
    void onInstallationOrUpdateFinished(const zarvo::launcher::TPackageInstallation& InstallationInProgress);
    void onLocalPackageStatusChanged();
    void updatePackageNameAndVersion();
    void updatePackageImageFromPackageStatus();
    void updateButtonFromPackageStatus();
    void updateDefaultClientCheckboxFromPackageStatus();

private:
    void onPhaseProgress(std::uint64_t Generation, TFileSize Done, TFileSize Total, const QString& Text);
    void onDownloadProgress(const TPackageFileDownloader* pDownloader, TFileSize BytesDownloaded, TFileSize BytesTotalToDownload,
                            TFileSize BytesWritten, TFileSize BytesTotalToWrite);

    std::shared_ptr<TPackage> m_pPackage;
    QCheckBox* m_pDefaultClientCheckbox = nullptr;
    // The logo label and the group box own every widget of the item through Qt's
    // parent tree once the item sits in a window; alone, the item deletes them itself.
    QPointer<QLabel> m_pLogoLabel;
    QLabel* m_pNameLabel = nullptr;
    QLabel* m_pStatusLabel = nullptr;
    QContextPushButton* m_pButton = nullptr;
    QProgressBar* m_pProgressBar = nullptr;
    QPointer<QGroupBox> m_pGroupBox;
    // Counts job starts and ends: phase progress is queued from worker threads and may
    // arrive after its job ended, and must then not overwrite the version line.
    std::uint64_t m_ProgressGeneration = 0;
    QList<QMetaObject::Connection> m_ProgressConnections;
};

} // namespace zarvo::launcher
