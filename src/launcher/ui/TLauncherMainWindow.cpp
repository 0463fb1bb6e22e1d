#include "TLauncherMainWindow.h"

#include "ClickableLabel.h"
#include "HintWidgets.h"
#include "QTextBrowserWithNetwork.h"
#include "TClientPackageLayoutItem.h"
#include "TCloudflareCdnTrace.h"
#include "TInstallationManager.h"
#include "TLauncherConfigurationReader.h"
#include "TDownloadPool.h"
#include "TPackageInstallation.h"

#include <QCheckBox>
#include <QDate>
#include <QDebug>
#include <QGridLayout>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QImage>
#include <QMessageBox>
#include <QPalette>
#include <QScreen>
#include <QScrollArea>
#include <QSpacerItem>
#include <QThread>
#include <QVBoxLayout>

namespace zarvo::launcher {

const char* const TLauncherMainWindow::kMakerWebSite = "https://halvern.example/";
const char* const TLauncherMainWindow::kTwitterPage = "https://torvane.example/social/twitter";
const char* const TLauncherMainWindow::kDiscordPage = "https://torvane.example/social/discord";

namespace {

constexpr int kColumns = 4;
constexpr QSize kHintImageSize(290, 80);
constexpr QSize kSingleHintImageSize(280, 104);
// The about text names the years of the product, the licence of the Qt libraries it
// links and where their source is.
constexpr int kFirstCopyrightYear = 2019;
const char* const kLgplLicenceUrl = "https://www.gnu.org/licenses/lgpl-3.0.html";
const char* const kQtBaseSourceUrl = "https://code.qt.io/cgit/qt/qtbase.git/";
// Caption of the single hint image (setHint).
const char* const kSingleHintCaption = "The Frostmarch update is live";

const char* const kWindowStyleSheet = R"(
        QMainWindow {
          border-image: url(:/images/launcher/BackgroundImage.jpg) 0 0 450 0;
          border-top: 0px transparent;
          border-left: 0px transparent;
          border-bottom: 450px transparent;
          border-right: 0px transparent;
        }
      )";

const char* const kVersionLabelStyleSheet = R"(
          QLabel {
            font-family: "Liberation Sans";
            font-variant: small-caps;
            font-size: 11px;
            font-weight: bold;
            color: #DADABC;
          }
        )";

const char* const kHintGroupBoxStyleSheet = R"(
        QGroupBox {
          border-image: url(:/images/launcher/hint-background.png) %1 %1 0 %1 repeat;
          border-top: %1px transparent;
          border-left: %1px transparent;
          border-bottom: %1px transparent;
          border-right: %1px transparent;
          background-attachment: fixed;
          font-family: "Liberation Sans";
          font-variant: small-caps;
          font-size: 11px;
          font-weight: bold;
          color: #DADABC;
        }
        QGroupBox::title {
          color: #DADABC;
          margin-top: 2px transparent;
          background-color: transparent;
        }
      )";

// The colour of the background picture's top row.
QColor backgroundTopColour()
{
    const QImage Image(QStringLiteral(":/images/launcher/BackgroundImage.jpg"));
    if (Image.isNull()) {
        return QColor(Qt::black);
    }
    qint64 Red = 0, Green = 0, Blue = 0;
    for (int X = 0; X < Image.width(); ++X) {
        const QRgb Pixel = Image.pixel(X, 0);
        Red += qRed(Pixel);
        Green += qGreen(Pixel);
        Blue += qBlue(Pixel);
    }
    const int Count = Image.width();
    return QColor(int(Red / Count), int(Green / Count), int(Blue / Count));
}

QString formatTrace(const TCloudflareCdnTrace& Trace)
{
    return QStringLiteral("FL: %1, TS: %2, COLO: %3, IP: %4").arg(Trace.m_Fl, Trace.m_Ts, Trace.m_Colo, Trace.m_Ip);
}

} // namespace

TLauncherMainWindow::TLauncherMainWindow(std::shared_ptr<TLauncherConfigurationReader> pLauncherConfiguration,
                                         std::vector<std::shared_ptr<TPackage>> ClientPackages, bool ShowPackageNames,
                                         std::shared_ptr<::shared::TDownloadPool> pDownloadPool,
                                         std::shared_ptr<TCloudflareCdnTrace> pCdnTrace, TInstallationManager* pInstallationManager,
                                         const QString& LauncherVersion, QWidget* pParent)
    : TDraggableMainWindow(pParent)
    , m_pLauncherConfiguration(std::move(pLauncherConfiguration))
    , m_pDownloadPool(std::move(pDownloadPool))
    , m_pCdnTrace(std::move(pCdnTrace))
{
    buildBackgroundAndFrame();
    auto* pCentralWidget = new QWidget;
    setCentralWidget(pCentralWidget);

    m_pMainLayout = new QVBoxLayout;
    m_pMainLayout->setSpacing(11);
    m_pMainLayout->addWidget(buildPackageGrid(ClientPackages, ShowPackageNames));
    if (ClientPackages.empty()) {
        m_pMainLayout->addSpacing(300);
        QMessageBox* pBox = sharedMessageBox();
        pBox->setWindowTitle(QStringLiteral("Connection problem"));
        pBox->setText(QStringLiteral("Could not connect to the update service.\n\nPlease try again later.\n"));
        pBox->setIcon(QMessageBox::Critical);
        pBox->show();
    }
    m_pMainLayout->addSpacing(6);
    m_pHintSpacer = new QSpacerItem(700, 84, QSizePolicy::Minimum, QSizePolicy::Minimum);
    m_pMainLayout->addItem(m_pHintSpacer);

    buildHintsArea();
    m_pMainLayout->addWidget(m_pHintGroupBox, 0, Qt::AlignHCenter);
    m_pMainLayout->addSpacing(-14);
    buildFooter(static_cast<QVBoxLayout*>(m_pHintGroupBox->layout()), LauncherVersion);

    pCentralWidget->setLayout(m_pMainLayout);
    if (pInstallationManager) {
        connect(pInstallationManager, &TInstallationManager::installationOrUpdateStarted, this,
                &TLauncherMainWindow::onInstallationOrUpdateStarted);
        connect(pInstallationManager, &TInstallationManager::installationOrUpdateFinished, this,
                &TLauncherMainWindow::onInstallationOrUpdateFinished);
    }

    const std::vector<std::shared_ptr<TPackage>>& AllPackages =
        m_pLauncherConfiguration ? m_pLauncherConfiguration->getPackages() : ClientPackages;
    for (const std::shared_ptr<TPackage>& pPackage : AllPackages) {
        if (pPackage->m_IsDefault) {
            m_DefaultPackageId = pPackage->m_Id;
            break;
        }
    }
}

void TLauncherMainWindow::buildBackgroundAndFrame()
{
    setWindowTitle(QStringLiteral("Torvane Online"));
    setWindowFlags(Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);
    setFixedWidth(800);
    setMaximumHeight(600);
    setMinimumHeight(450);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::MinimumExpanding);

    if (const QScreen* pScreen = QGuiApplication::primaryScreen()) {
        const QRect Screen = pScreen->geometry();
        move((Screen.width() - width()) / 2, (Screen.height() - height()) / 2);
    }

    setStyleSheet(QString::fromUtf8(kWindowStyleSheet));

    // The background picture covers the bottom 450 pixels; a taller window continues its
    // sky colour above it instead of the desktop's window grey.
    QPalette Palette = palette();
    Palette.setColor(QPalette::Window, backgroundTopColour());
    setPalette(Palette);
}

QWidget* TLauncherMainWindow::buildPackageGrid(const std::vector<std::shared_ptr<TPackage>>& ClientPackages, bool ShowPackageNames)
{
    auto* pTopRow = new QHBoxLayout;
    pTopRow->setContentsMargins(0, 0, 0, 0);
    m_pPackageGrid = new QGridLayout;
    pTopRow->addStretch(1);
    pTopRow->addLayout(m_pPackageGrid, 2);
    pTopRow->addStretch(1);

    int Row = 0;
    int Column = 0;
    for (const std::shared_ptr<TPackage>& pPackage : ClientPackages) {
        auto* pItem = new TClientPackageLayoutItem(pPackage, ShowPackageNames);
        m_PackageItems[pPackage->m_Id] = pItem;
        pItem->setDefaultClientChecked(pPackage->m_IsDefault);
        m_pPackageGrid->addLayout(pItem, Row, Column, 1, 1);
        connect(pItem, &TClientPackageLayoutItem::defaultChanged, this, &TLauncherMainWindow::onDefaultClientPackageCheckboxChanged);
        connect(pItem, &TClientPackageLayoutItem::buttonClicked, this, &TLauncherMainWindow::clientPackageButtonClicked);
        connect(pItem, &TClientPackageLayoutItem::verifyButtonClicked, this, &TLauncherMainWindow::clientPackageVerifyButtonClicked);
        if (++Column >= kColumns) {
            Column = 0;
            ++Row;
        }
    }

    // More than one row of packages does not fit the window's 600 pixels together with
    // the hints: the grid scrolls, showing at least one whole row.
    auto* pPackageArea = new QWidget;
    pPackageArea->setObjectName(QStringLiteral("packageArea"));
    pPackageArea->setLayout(pTopRow);
    m_pPackageScrollArea = new QScrollArea;
    m_pPackageScrollArea->setObjectName(QStringLiteral("packageScrollArea"));
    m_pPackageScrollArea->setFrameShape(QFrame::NoFrame);
    m_pPackageScrollArea->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_pPackageScrollArea->setWidgetResizable(true);
    m_pPackageScrollArea->setStyleSheet(QStringLiteral("QScrollArea { background: transparent; border: none; }\n") +
                                        ::shared::scrollBarStyleSheet());
    m_pPackageScrollArea->setWidget(pPackageArea);
    m_pPackageScrollArea->viewport()->setAutoFillBackground(false);
    pPackageArea->setAutoFillBackground(false);
    // Four tiles are a little wider than the window; their transparent edges may overlap.
    pPackageArea->setMinimumWidth(1);
    if (!m_PackageItems.empty()) {
        pPackageArea->ensurePolished();
        for (QWidget* pChild : pPackageArea->findChildren<QWidget*>()) {
            pChild->ensurePolished();
        }
        m_pPackageScrollArea->setMinimumHeight(m_PackageItems.begin()->second->sizeHint().height());
    }
    return m_pPackageScrollArea;
}

void TLauncherMainWindow::buildHintsArea()
{
    m_pHintGroupBox = new QGroupBox;
    m_pHintGroupBox->setObjectName(QStringLiteral("hintGroupBox"));
    m_pHintGroupBox->setTitle(QString());
    m_pHintGroupBox->setAlignment(Qt::AlignHCenter);
    m_pHintGroupBox->setStyleSheet(QString::fromUtf8(kHintGroupBoxStyleSheet).arg(5));

    m_pHintsLayout = new QHBoxLayout;
    m_pHintsLayout->setSpacing(0);
    for (const char* Category : ::shared::kHintCategories) {
        const QString Name = QString::fromLatin1(Category);
        ::shared::QTextBrowserWithNetwork* pBrowser = ::shared::createHintBrowser(this, m_pDownloadPool);
        QWidget* pSlot = ::shared::createHintSlot(this, Name, pBrowser);
        pSlot->setObjectName(QStringLiteral("hintSlot_") + Name);
        m_HintBrowsers[Name] = pBrowser;
        m_HintSlots[Name] = pSlot;
        m_pHintsLayout->addWidget(pSlot);
    }
    m_pHintsLayout->setContentsMargins(0, 0, 44, 0);
    m_pHintsContainer = new QWidget(this);
    m_pHintsContainer->setObjectName(QStringLiteral("hintsContainer"));
    m_pHintsContainer->setLayout(m_pHintsLayout);
    m_pHintsContainer->hide();

    m_pHintGroupBox->setMaximumWidth(790);
    m_pHintGroupBox->setMinimumWidth(780);
    m_pHintGroupBox->setLayout(new QVBoxLayout);
    m_pHintGroupBox->show();
}

void TLauncherMainWindow::buildFooter(QVBoxLayout* pGroupLayout, const QString& LauncherVersion)
{
    auto* pBottomBar = new QHBoxLayout;
    pBottomBar->addStretch();
    QLabel* pAboutLink = createLinkLabel(QStringLiteral("About"), QStringLiteral("about"), QStringLiteral(":/images/launcher/icircle.png"));
    pAboutLink->setOpenExternalLinks(false);
    connect(pAboutLink, &QLabel::linkActivated, this, &TLauncherMainWindow::onAboutDialogRequested);
    pBottomBar->addWidget(pAboutLink);
    auto* pVersionLabel = new QLabel(this);
    pVersionLabel->setObjectName(QStringLiteral("versionLabel"));
    pVersionLabel->setText(QStringLiteral("v") + LauncherVersion);
    pVersionLabel->setStyleSheet(QString::fromUtf8(kVersionLabelStyleSheet));
    pBottomBar->addWidget(pVersionLabel);

    auto* pSocialRow = new QHBoxLayout;
    pSocialRow->addStretch();
    pSocialRow->addWidget(createLinkLabel(QStringLiteral("Follow us on Twitter"), QString::fromLatin1(kTwitterPage),
                                          QStringLiteral(":/images/launcher/Twitter.png")));
    pSocialRow->addWidget(createLinkLabel(QStringLiteral("Follow us on Discord"), QString::fromLatin1(kDiscordPage),
                                          QStringLiteral(":/images/launcher/Discord.png")));
    pSocialRow->addStretch();

    auto* pMakerLogo = new QLabel(this);
    pMakerLogo->setObjectName(QStringLiteral("makerLogo"));
    pMakerLogo->setText(
        QStringLiteral("<a href=\"%1\"><img src=\":/images/launcher/HalvernLogo.png\"></a>").arg(QString::fromLatin1(kMakerWebSite)));
    pMakerLogo->setTextFormat(Qt::RichText);
    pMakerLogo->setToolTip(QString::fromLatin1(kMakerWebSite));
    pMakerLogo->setOpenExternalLinks(true);
    pGroupLayout->addSpacing(8);
    pGroupLayout->addWidget(pMakerLogo, 0, Qt::AlignLeft);
    pGroupLayout->addSpacing(-22);
    pGroupLayout->addLayout(pBottomBar);
    pGroupLayout->addSpacing(-34);
    pGroupLayout->addLayout(pSocialRow);
    pGroupLayout->addSpacing(8);
}

TLauncherMainWindow::~TLauncherMainWindow()
{
    disconnect(m_TraceConnection);
}

TClientPackageLayoutItem* TLauncherMainWindow::packageItem(std::int32_t PackageId) const
{
    const auto Found = m_PackageItems.find(PackageId);
    return Found == m_PackageItems.end() ? nullptr : Found->second;
}

QList<QMessageBox*> TLauncherMainWindow::installationFailureBoxes() const
{
    return findChildren<QMessageBox*>(QStringLiteral("installationFailureBox"), Qt::FindDirectChildrenOnly);
}

QWidget* TLauncherMainWindow::hintSlot(const QString& Category) const
{
    const auto Found = m_HintSlots.find(Category);
    return Found == m_HintSlots.end() ? nullptr : Found->second;
}

QLabel* TLauncherMainWindow::createLinkLabel(const QString& ToolTip, const QString& Target, const QString& Icon)
{
    auto* pLabel = new QLabel(this);
    pLabel->setText(QStringLiteral("<a href=\"") + Target + QStringLiteral("\"><img src=\"") + Icon + QStringLiteral("\"/></a>"));
    pLabel->setTextFormat(Qt::RichText);
    pLabel->setToolTip(ToolTip);
    pLabel->setOpenExternalLinks(true);
    return pLabel;
}

QMessageBox* TLauncherMainWindow::sharedMessageBox()
{
    if (!m_pMessageBox) {
        m_pMessageBox = new QMessageBox(this);
        m_pMessageBox->setObjectName(QStringLiteral("sharedMessageBox"));
    }
    return m_pMessageBox;
}

int TLauncherMainWindow::hintImageTimeoutMs() const
{
    // the images come from the same servers as everything else: same inactivity limit
    return m_pDownloadPool ? m_pDownloadPool->transferTimeout() : ::shared::TDownloadPool::kDefaultTransferTimeoutMs;
}

void TLauncherMainWindow::setHint(const ::shared::THint& Hint)
{
    QWidget* pSlot = hintSlot(QStringLiteral("cat1"));
    const QPointer<TLauncherMainWindow> Self(this);
    const QImage Image = ::shared::fetchHintImage(QUrl(Hint.m_ImageUrl), kSingleHintImageSize, hintImageTimeoutMs());
    if (!Self) {
        return;
    }
    ClickableLabel* pImage = ::shared::createHintImageLabel(this, pSlot, Image, kSingleHintImageSize, Hint.m_Url);
    const QString Link = Hint.m_Url;
    connect(pImage, &QLabel::linkActivated, this, [Link] { ::shared::openHintLink(Link); });
    connect(pImage, &ClickableLabel::clicked, this, [Link] { ::shared::openHintLink(Link); });
    if (auto pBrowser = m_HintBrowsers[QStringLiteral("cat1")]) {
        pBrowser->deleteLater();
    }
    ClickableLabel* pCaption = ::shared::createHintCaption(pSlot, QString::fromUtf8(kSingleHintCaption), 10, QStringLiteral("0.5"),
                                                           QRect(0, 74, 280, 30), Hint.m_Url);
    connect(pCaption, &ClickableLabel::clicked, this, [Link] { ::shared::openHintLink(Link); });
    pImage->show();
    pCaption->show();
    if (!Hint.m_RichText.trimmed().isEmpty()) {
        m_pHintGroupBox->show();
    }
    m_pHintGroupBox->setTitle(Hint.m_Title.isEmpty() ? QStringLiteral("Hint") : Hint.m_Title);
    adjustSize();
}

void TLauncherMainWindow::setHints(std::vector<::shared::THint> Hints)
{
    m_pHintGroupBox->hide();
    if (Hints.empty()) {
        m_pHintsContainer->hide();
        m_pHintGroupBox->show();
        return;
    }
    auto* pGroupLayout = static_cast<QVBoxLayout*>(m_pHintGroupBox->layout());
    if (pGroupLayout->indexOf(m_pHintsContainer) < 0) {
        pGroupLayout->insertWidget(0, m_pHintsContainer);
    }
    pGroupLayout->setContentsMargins(0, 0, 0, 0);
    m_pHintsContainer->show();

    const QPointer<TLauncherMainWindow> Self(this);
    for (const ::shared::THint& Hint : Hints) {
        // A second hint of a category already shown is skipped: its slot is taken.
        if (!::shared::isHintCategory(Hint.m_Category) || m_ShownHintCategories.contains(Hint.m_Category)) {
            continue;
        }
        showImageHint(Hint, Hint.m_Category, hintSlot(Hint.m_Category));
        if (!Self) {
            return; // the window went away while the image was fetched
        }
        m_ShownHintCategories.insert(Hint.m_Category);
    }

    if (m_ShownHintCategories.size() == 3) {
        if (m_pHintSpacer) {
            m_pMainLayout->removeItem(m_pHintSpacer);
            delete m_pHintSpacer;
            m_pHintSpacer = nullptr;
        }
    } else {
        m_pHintsContainer->hide();
    }
    m_pHintGroupBox->show();
}

void TLauncherMainWindow::showImageHint(const ::shared::THint& Hint, const QString& Category, QWidget* pSlot)
{
    const QPointer<TLauncherMainWindow> Self(this);
    const QImage Image = ::shared::fetchHintImage(QUrl(Hint.m_ImageUrl), kHintImageSize, hintImageTimeoutMs());
    if (!Self) {
        return;
    }
    if (auto pBrowser = m_HintBrowsers[Category]) {
        pBrowser->deleteLater();
    }
    const QString Link = Hint.m_Url;
    ClickableLabel* pImage = ::shared::createHintImageLabel(this, pSlot, Image, kHintImageSize, Link);
    ClickableLabel* pCaption = ::shared::createHintCaption(pSlot, Hint.m_RichText, Category == QLatin1String("cat1") ? 10 : 18,
                                                           QStringLiteral("0.7"), QRect(0, 50, 280, 30), Link);
    connect(pImage, &ClickableLabel::clicked, this, [Link] { ::shared::openHintLink(Link); });
    connect(pCaption, &ClickableLabel::clicked, this, [Link] { ::shared::openHintLink(Link); });
    pImage->show();
    pCaption->show();

    QWidget* pFrame = ::shared::createHintHoverFrame(this, Category);
    pFrame->setObjectName(QStringLiteral("hintFrame_") + Category);
    m_pHintsLayout->replaceWidget(pSlot, pFrame, Qt::FindChildrenRecursively);
    pFrame->layout()->addWidget(pSlot);
    m_pHintsLayout->setAlignment(Qt::AlignHCenter);
}

void TLauncherMainWindow::onDefaultClientPackageCheckboxChanged(std::shared_ptr<TPackage> pPackage, bool IsDefault)
{
    if (IsDefault && pPackage->m_Id == m_DefaultPackageId) {
        return;
    }
    if (!IsDefault && pPackage->m_Id != m_DefaultPackageId) {
        return;
    }
    setDefault(pPackage, IsDefault);
    emit defaultChanged(pPackage, IsDefault);
}

void TLauncherMainWindow::setDefault(std::shared_ptr<TPackage> pPackage, bool IsDefault)
{
    m_DefaultPackageId = IsDefault ? pPackage->m_Id : -1;
    for (const auto& [Id, pItem] : m_PackageItems) {
        if (Id == pPackage->m_Id) {
            pItem->setDefaultClientChecked(IsDefault);
        } else if (pItem->defaultClientCheckbox()->isChecked()) {
            pItem->setDefaultClientChecked(false);
        }
    }
}

void TLauncherMainWindow::onInstallationOrUpdateStarted(const TPackageInstallation& InstallationInProgress)
{
    if (TClientPackageLayoutItem* pItem = packageItem(InstallationInProgress.package()->m_Id)) {
        pItem->onInstallationOrUpdateStarted(InstallationInProgress);
    }
}

void TLauncherMainWindow::onInstallationOrUpdateFinished(const TPackageInstallation& InstallationInProgress)
{
    const std::shared_ptr<TPackage> pPackage = InstallationInProgress.package();
    qInfo() << "onInstallationOrUpdateFinished package: " << pPackage->m_Name
            << " error reason: " << static_cast<int>(InstallationInProgress.errorReason()) << " Thread: " << QThread::currentThreadId();
    if (TClientPackageLayoutItem* pItem = packageItem(pPackage->m_Id)) {
        pItem->onInstallationOrUpdateFinished(InstallationInProgress);
    }
    switch (InstallationInProgress.errorReason()) {
    case EPackageDownloaderError::DownloadFailed:
        showDownloadFailure(pPackage->m_Name);
        break;
    case EPackageDownloaderError::SavingFailed:
        showInstallationFailure(
            QStringLiteral("The installation of %1 failed.\n\nMake sure you have enough free disk space and the application "
                           "isn't currently running, then try again.")
                .arg(pPackage->m_Name));
        break;
    case EPackageDownloaderError::VerificationFailed:
        showInstallationFailure(
            QStringLiteral("The installation of %1 failed.\n\nVerification of game data failed!").arg(pPackage->m_Name));
        break;
    case EPackageDownloaderError::NotEnoughDiskSpace:
        if (const auto& Shortage = InstallationInProgress.diskSpaceShortage()) {
            showInstallationFailure(
                QStringLiteral("The installation of %1 failed.\n\nNot enough free disk space: %2\n\nMake some room, then try again.")
                    .arg(pPackage->m_Name, TDiskSpaceCheck::describe(*Shortage)));
        }
        break;
    default:
        break;
    }
}

void TLauncherMainWindow::showInstallationFailure(const QString& Text)
{
    // Modal for the player, but not a nested event loop: the report comes from inside the
    // installation manager's finishing of a job, which must complete first.
    auto* pBox = new QMessageBox(QMessageBox::Critical, QStringLiteral("Installation failed"), Text, QMessageBox::Ok, this);
    pBox->setObjectName(QStringLiteral("installationFailureBox"));
    // the text carries the package name from the configuration
    pBox->setTextFormat(Qt::PlainText);
    pBox->setAttribute(Qt::WA_DeleteOnClose);
    pBox->setWindowModality(Qt::ApplicationModal);
    pBox->show();
}

void TLauncherMainWindow::showDownloadFailure(const QString& PackageName)
{
    QMessageBox* pBox = sharedMessageBox();
    m_DownloadFailurePackageName = PackageName;
    QString Diagnostic;
    TCloudflareCdnTrace* pTrace = m_pCdnTrace.get();
    if (!pTrace) {
        Diagnostic = QStringLiteral("Failed to obtain information.");
    } else if (pTrace->m_Received) {
        Diagnostic = formatTrace(*pTrace);
    } else {
        // Starts the fetch unless it failed or runs already; without a valid address it
        // fails at once.
        pTrace->requestTrace();
        if (pTrace->m_UnderWay && !m_TraceConnection) {
            // One wait at a time; it refreshes whatever report is on screen then.
            m_TraceConnection = connect(pTrace, &TCloudflareCdnTrace::diagnosticsTraceReceived, this, [this](bool) {
                disconnect(m_TraceConnection);
                m_TraceConnection = QMetaObject::Connection();
                if (m_pMessageBox && m_pMessageBox->isVisible()) {
                    showDownloadFailure(m_DownloadFailurePackageName);
                }
            });
        }
        if (pTrace->m_Received) {
            Diagnostic = formatTrace(*pTrace);
        } else if (pTrace->m_Failed) {
            Diagnostic = QStringLiteral("Failed to obtain information.");
        } else {
            Diagnostic = QStringLiteral("Loading, please wait...");
        }
    }
    pBox->setWindowTitle(QStringLiteral("Download failed"));
    pBox->setTextFormat(Qt::PlainText);
    pBox->setText(
        QStringLiteral("The installation of %1 failed.\n\nNot all files necessary could be downloaded. Please try again later.\n\n"
                       "Diagnostic information: %2")
            .arg(PackageName, Diagnostic));
    pBox->setIcon(QMessageBox::Critical);
    pBox->show();
}

void TLauncherMainWindow::onAboutDialogRequested(QString)
{
    if (m_pAboutBox) {
        m_pAboutBox->raise();
        m_pAboutBox->activateWindow();
        return;
    }
    auto* pBox = new QMessageBox(this);
    pBox->setObjectName(QStringLiteral("aboutBox"));
    pBox->setAttribute(Qt::WA_DeleteOnClose);
    pBox->setWindowTitle(qtTrId("launcher.about.title"));
    pBox->setIcon(QMessageBox::Information);
    pBox->setTextFormat(Qt::RichText);
    pBox->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::LinksAccessibleByMouse);
    const QString Licence = QString::fromLatin1(kLgplLicenceUrl);
    const QString QtSource = QString::fromLatin1(kQtBaseSourceUrl);
    QString Text = qtTrId("launcher.about.text");
    // Without the translation file the id itself shows, which has nothing to fill in.
    if (Text.contains(QLatin1String("%1"))) {
        Text = Text.arg(QString::number(kFirstCopyrightYear), QString::number(QDate::currentDate().year()), Licence, Licence, QtSource,
                        QtSource);
    }
    pBox->setText(Text);
    // Modal without a nested event loop: the request arrives from a label's link signal.
    pBox->setWindowModality(Qt::ApplicationModal);
    m_pAboutBox = pBox;
    pBox->show();
}

} // namespace zarvo::launcher
