#pragma once

#include "TDraggableMainWindow.h"
#include "TPackage.h"

#include "THint.h"

#include <QMessageBox>
#include <QMetaObject>
#include <QPointer>
#include <QSet>
#include <QString>

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

class QGroupBox;
class QHBoxLayout;
class QLabel;
class QScrollArea;
class QSpacerItem;
class QVBoxLayout;
class QGridLayout;

namespace shared {
class QTextBrowserWithNetwork;
class TDownloadPool;
} // namespace shared

namespace zarvo::launcher {

class TCloudflareCdnTrace;
class TClientPackageLayoutItem;
class TInstallationManager;
class TLauncherConfigurationReader;
class TPackageInstallation;

// The launcher's window once the start-up checks are done: one tile per client package
// in a grid of four columns, the hints area, the maker's logo, the About link, the
// version and the social links. Forwards the player's choices as signals, follows running
// installations and reports their failures.
class TLauncherMainWindow final : public TDraggableMainWindow {
    Q_OBJECT
public:
    // Web targets of the links below the hints.
    static const char* const kMakerWebSite;
    static const char* const kTwitterPage;
    static const char* const kDiscordPage;

    // ClientPackages: the packages to show, in configuration order (an empty list means
    // the update service could not be reached). pInstallationManager may be null (then
    // the flow feeds the two installation slots itself); it must outlive the window.
    TLauncherMainWindow(std::shared_ptr<TLauncherConfigurationReader> pLauncherConfiguration,
                        std::vector<std::shared_ptr<TPackage>> ClientPackages, bool ShowPackageNames,
                        std::shared_ptr<::shared::TDownloadPool> pDownloadPool, std::shared_ptr<TCloudflareCdnTrace> pCdnTrace,
                        TInstallationManager* pInstallationManager, const QString& LauncherVersion, QWidget* pParent = nullptr);
    ~TLauncherMainWindow() override;

    // Read access for the flow and for tests.
    std::int32_t defaultPackageId() const { return m_DefaultPackageId; }
    const std::map<std::int32_t, TClientPackageLayoutItem*>& packageItems() const { return m_PackageItems; }
    TClientPackageLayoutItem* packageItem(std::int32_t PackageId) const;
    QGridLayout* packageGrid() const { return m_pPackageGrid; }
    QScrollArea* packageScrollArea() const { return m_pPackageScrollArea; }
    // The box shared by the "Connection problem" notice and the download-failure report;
    // null until first needed.
    QMessageBox* messageBox() const { return m_pMessageBox; }
    // The open about box, or null.
    QMessageBox* aboutBox() const { return m_pAboutBox; }
    // The open "Installation failed" boxes (saving or verification failures), oldest first.
    QList<QMessageBox*> installationFailureBoxes() const;
    // Null once all three hint categories are shown.
    QSpacerItem* hintSpacer() const { return m_pHintSpacer; }
    QVBoxLayout* mainLayout() const { return m_pMainLayout; }
    QWidget* hintsContainer() const { return m_pHintsContainer; }
    QGroupBox* hintGroupBox() const { return m_pHintGroupBox; }
    // The slot of a category ("cat1", "cat2", "cat3"), or null.
    QWidget* hintSlot(const QString& Category) const;

signals:
    void defaultChanged(std::shared_ptr<zarvo::launcher::TPackage> pPackage, bool IsDefault);
    void clientPackageButtonClicked(std::shared_ptr<zarvo::launcher::TPackage> pPackage);
    void clientPackageVerifyButtonClicked(std::shared_ptr<zarvo::launcher::TPackage> pPackage);

public slots:
    void setHint(const ::shared::THint& Hint);
    void setHints(std::vector<::shared::THint> Hints);
    void onDefaultClientPackageCheckboxChanged(std::shared_ptr<zarvo::launcher::TPackage> pPackage, bool IsDefault);
    void setDefault(std::shared_ptr<zarvo::launcher::TPackage> pPackage, bool IsDefault);
    void onInstallationOrUpdateStarted(const zarvo::launcher::TPackageInstallation& InstallationInProgress);
    void onInstallationOrUpdateFinished(const zarvo::launcher::TPackageInstallation& InstallationInProgress);
    void onAboutDialogRequested(QString Link);

private:
    // The construction, in the order the window is put together.
    void buildBackgroundAndFrame();
    QWidget* buildPackageGrid(const std::vector<std::shared_ptr<TPackage>>& ClientPackages, bool ShowPackageNames);
    void buildHintsArea();
    void buildFooter(QVBoxLayout* pGroupLayout, const QString& LauncherVersion);
    int hintImageTimeoutMs() const;
    QLabel* createLinkLabel(const QString& ToolTip, const QString& Target, const QString& Icon);
    QMessageBox* sharedMessageBox();
    void showDownloadFailure(const QString& PackageName);
    void showInstallationFailure(const QString& Text);
    void showImageHint(const ::shared::THint& Hint, const QString& Category, QWidget* pSlot);

    std::shared_ptr<TLauncherConfigurationReader> m_pLauncherConfiguration;
    std::map<std::int32_t, TClientPackageLayoutItem*> m_PackageItems;
    QSpacerItem* m_pHintSpacer = nullptr;
    QVBoxLayout* m_pMainLayout = nullptr;
    QWidget* m_pHintsContainer = nullptr;
    QHBoxLayout* m_pHintsLayout = nullptr;
    std::map<QString, QPointer<::shared::QTextBrowserWithNetwork>> m_HintBrowsers;
    std::map<QString, QWidget*> m_HintSlots;
    QGroupBox* m_pHintGroupBox = nullptr;
    QPointer<QMessageBox> m_pMessageBox;
    std::int32_t m_DefaultPackageId = -1;
    std::shared_ptr<::shared::TDownloadPool> m_pDownloadPool;
    std::shared_ptr<TCloudflareCdnTrace> m_pCdnTrace;

    QGridLayout* m_pPackageGrid = nullptr;
    QScrollArea* m_pPackageScrollArea = nullptr;
    QPointer<QMessageBox> m_pAboutBox;
    // Categories whose slot already shows an image hint.
    QSet<QString> m_ShownHintCategories;
    // The package named by the download-failure report on screen, and the one wait for
    // the CDN trace that will refresh it.
    QString m_DownloadFailurePackageName;
    QMetaObject::Connection m_TraceConnection;
};

} // namespace zarvo::launcher
