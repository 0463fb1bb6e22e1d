#include "TClientPackageLayoutItem.h"

#include "QContextPushButton.h"
#include "SafeLinks.h"
#include "TPackageInstallation.h"

#include <QAction>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QProgressBar>
#include <QTextDocument>

#include <cmath>

namespace zarvo::launcher {

namespace {

constexpr QSize kLogoSize(196, 152);
constexpr QSize kButtonSize(98, 40);
constexpr int kProgressMaximum = 10000;

const char* const kProgressBarStyleSheet = R"(
        QProgressBar {
          border-image: url(:/images/launcher/ProgressBar_BG.png);
          font-family: "Liberation Sans";
          font-variant: small-caps;
          font-size: 13px;
          font-weight: bold;
          color: #DADABC;
          text-align: center;
          border-top: 2px;
          border-left: 2px;
          border-bottom: 2px;
          border-right: 2px;
        }
        QProgressBar::chunk {
          border-image: url(:/images/launcher/ProgressBar.png);
        }
      )";

const char* const kLabelStyleSheet = R"(
        QLabel {
          font-family: "Liberation Sans";
          font-variant: small-caps;
          font-size: 13px;
          font-weight: bold;
          color: #DADABC;
        }
      )";

const char* const kCheckboxStyleSheet = R"(
        QCheckBox {
          font-family: "Liberation Sans";
          font-variant: small-caps;
          font-size: 13px;
          font-weight: bold;
          color: #DADABC;
        }
        QCheckBox::indicator:unchecked {
          image: url(:/images/launcher/checkbox-unchecked.png);
        }
        QCheckBox::indicator:checked {
          image: url(:/images/launcher/checkbox-checked.png);
        }
      )";

const char* const kGroupBoxStyleSheet = R"(
        QGroupBox {
          border-image: url(:/images/launcher/clientpackage-background.png) 16 16 16 16 repeat repeat;
          border-top: 16px transparent;
          border-left: 16px transparent;
          border-bottom: 16px transparent;
          border-right: 16px transparent;
          background-attachment: fixed;
          padding-top: -6px;
          padding-left: -2px;
          padding-bottom: -8px;
          padding-right: -2px;
        }
      )";

// %1: colour, %2: icon word.
const char* const kButtonStyleSheet = R"(

        QPushButton {
          border-image: url(:/images/launcher/Button_%1_idle.png) 4 4 4 4 repeat scale;
          border-top: 4px transparent;
          border-left: 4px transparent;
          border-bottom: 4px transparent;
          border-right: 4px transparent;
          image: url(:/images/launcher/Icon_%2.png);
        }
        QPushButton:hover {
          border-image: url(:/images/launcher/Button_%1_hover.png) 4 4 4 4 repeat scale;
          border-top: 4px transparent;
          border-left: 4px transparent;
          border-bottom: 4px transparent;
          border-right: 4px transparent;
        }
        QPushButton:pressed {
          border-image: url(:/images/launcher/Button_%1_pressed.png) 4 4 4 4 repeat scale;
          border-top: 4px transparent;
          border-left: 4px transparent;
          border-bottom: 4px transparent;
          border-right: 4px transparent;
          padding-top: 1px;
          padding-left: 1px;
          padding-bottom: -1px;
          padding-right: -1px;
        }
        QToolTip {
          border: 1px solid black;
          background: #c0c0c0;
          padding-top: 1px;
          padding-left: 1px;
          padding-bottom: 1px;
          padding-right: 1px;
          font-family: "Liberation Sans";
          font-variant: small-caps;
          font-size: 11px;
          font-weight: bold;
          color: #3F3F3F;
        }
      )";

QString megabytes(TFileSize Bytes)
{
    return QString::number(static_cast<double>(Bytes) / 1000000.0, 'f', 1);
}

} // namespace

TClientPackageLayoutItem::TClientPackageLayoutItem(std::shared_ptr<TPackage> pPackage, bool ShowPackageNames)
    : m_pPackage(std::move(pPackage))
{
    m_pLogoLabel = new QLabel;
    m_pLogoLabel->setFixedSize(kLogoSize);
    // the link target comes from the configuration: only web pages are opened
    m_pLogoLabel->setOpenExternalLinks(false);
    connect(m_pLogoLabel, &QLabel::linkActivated, this, [](const QString& Link) { ::shared::openWebLink(QUrl(Link)); });
    updatePackageImageFromPackageStatus();

    m_pButton = new QContextPushButton;
    updateButtonFromPackageStatus();
    connect(m_pButton, &QPushButton::clicked, this, [this] { emit buttonClicked(m_pPackage); });
    connect(m_pButton, &QContextPushButton::contextTriggered, this, [this](const QString&) { emit verifyButtonClicked(m_pPackage); });

    m_pProgressBar = new QProgressBar;
    m_pProgressBar->setFixedSize(m_pButton->size());
    m_pProgressBar->setRange(0, 100);
    m_pProgressBar->setValue(0);
    m_pProgressBar->setTextVisible(true);
    m_pProgressBar->setStyleSheet(QString::fromUtf8(kProgressBarStyleSheet));

    if (ShowPackageNames) {
        m_pNameLabel = new QLabel;
        m_pNameLabel->setTextFormat(Qt::PlainText);
        m_pNameLabel->setStyleSheet(QString::fromUtf8(kLabelStyleSheet));
        m_pNameLabel->setAlignment(Qt::AlignCenter);
    }
    m_pStatusLabel = new QLabel;
    m_pStatusLabel->setStyleSheet(QString::fromUtf8(kLabelStyleSheet));
    // Centred also while the label is still as wide as longer progress figures were.
    m_pStatusLabel->setAlignment(Qt::AlignCenter);
    updatePackageNameAndVersion();

    m_pDefaultClientCheckbox = new QCheckBox(QStringLiteral("Default Client"));
    QSizePolicy Policy = m_pDefaultClientCheckbox->sizePolicy();
    Policy.setRetainSizeWhenHidden(true);
    m_pDefaultClientCheckbox->setSizePolicy(Policy);
    m_pDefaultClientCheckbox->setStyleSheet(QString::fromUtf8(kCheckboxStyleSheet));
    connect(m_pDefaultClientCheckbox, &QCheckBox::stateChanged, this, [this](int State) {
        if (State == Qt::Unchecked) {
            emit defaultChanged(m_pPackage, false);
        } else if (State == Qt::Checked) {
            emit defaultChanged(m_pPackage, true);
        }
    });

    m_pGroupBox = new QGroupBox;
    m_pGroupBox->setAlignment(Qt::AlignHCenter);
    m_pGroupBox->setStyleSheet(QString::fromUtf8(kGroupBoxStyleSheet));
    auto* pGroupLayout = new QVBoxLayout(m_pGroupBox);
    pGroupLayout->setSpacing(0);
    pGroupLayout->addWidget(m_pProgressBar, 0, Qt::AlignHCenter);
    pGroupLayout->addWidget(m_pButton, 0, Qt::AlignHCenter);
    pGroupLayout->addSpacing(6);
    if (m_pNameLabel) {
        pGroupLayout->addWidget(m_pNameLabel, 0, Qt::AlignHCenter);
    }
    pGroupLayout->addWidget(m_pStatusLabel, 0, Qt::AlignHCenter);
    pGroupLayout->addWidget(m_pDefaultClientCheckbox, 0, Qt::AlignHCenter);

    addWidget(m_pLogoLabel, 0, Qt::AlignHCenter | Qt::AlignTop);
    addSpacing(6);
    addWidget(m_pGroupBox, 0, Qt::AlignHCenter | Qt::AlignTop);

    connect(m_pPackage.get(), &TPackage::localPackageStatusChanged, this, &TClientPackageLayoutItem::onLocalPackageStatusChanged);
    m_pProgressBar->hide();
    m_pButton->show();
    updateDefaultClientCheckboxFromPackageStatus();
}

TClientPackageLayoutItem::~TClientPackageLayoutItem()
{
    // In a window the widgets go with it; an item that never got a parent widget cleans up.
    if (m_pGroupBox && !m_pGroupBox->parent()) {
        delete m_pGroupBox;
    }
    if (m_pLogoLabel && !m_pLogoLabel->parent()) {
        delete m_pLogoLabel;
    }
}

void TClientPackageLayoutItem::setDefaultClientChecked(bool Checked)
{
    if (m_pDefaultClientCheckbox->isChecked() != Checked) {
        m_pDefaultClientCheckbox->setChecked(Checked);
    }
}

QString TClientPackageLayoutItem::formatRate(std::uint64_t BytesPerSecond)
{
    const double Rate = static_cast<double>(BytesPerSecond);
    if (BytesPerSecond > 1073741824ULL) {
        return QStringLiteral("%1 GB/s").arg(QString::number(Rate / 1000000000.0, 'f', 1));
    }
    if (BytesPerSecond > 1048576ULL) {
        return QStringLiteral("%1 MB/s").arg(QString::number(Rate / 1000000.0, 'f', 1));
    }
    if (BytesPerSecond > 1024ULL) {
        return QStringLiteral("%1 KB/s").arg(QString::number(Rate / 1000.0, 'f', 1));
    }
    return QStringLiteral("%1 B/s").arg(BytesPerSecond);
}

int TClientPackageLayoutItem::progressValue(TFileSize Done, TFileSize Total)
{
    if (Total == 0) {
        return 0;
    }
    const float Fraction = static_cast<float>(Done) / static_cast<float>(Total) * static_cast<float>(kProgressMaximum);
    return static_cast<int>(std::floor(Fraction + 0.5f));
}

QString TClientPackageLayoutItem::progressFigures(TFileSize Done, TFileSize Total)
{
    return QStringLiteral("%1/%2 MB").arg(megabytes(Done), megabytes(Total));
}

void TClientPackageLayoutItem::onInstallationOrUpdateStarted(const TPackageInstallation& InstallationInProgress)
{
    for (const QMetaObject::Connection& Connection : qAsConst(m_ProgressConnections)) {
        disconnect(Connection);
    }
    m_ProgressConnections.clear();
    const std::uint64_t Generation = ++m_ProgressGeneration;

    // A job begins with the required-changes computation: nothing is queued for download
    // yet, so the bar starts empty; the first progress signal sets its scale.
    m_pProgressBar->setRange(0, kProgressMaximum);
    m_pProgressBar->setValue(0);
    m_pProgressBar->setFormat(QString());

    const auto PhaseConnection = [&](auto Signal, const QString& Text) {
        m_ProgressConnections << connect(
            &InstallationInProgress, Signal, this,
            [this, Generation, Text](TFileSize Done, TFileSize Total) { onPhaseProgress(Generation, Done, Total, Text); },
            Qt::QueuedConnection);
    };
    PhaseConnection(&TPackageInstallation::scanProgress, QStringLiteral("Scanning..."));
    PhaseConnection(&TPackageInstallation::writeProgress, QStringLiteral("Writing..."));
    PhaseConnection(&TPackageInstallation::verificationProgress, QStringLiteral("Verifying..."));
    if (const TPackageFileDownloader* pDownloader = InstallationInProgress.downloader()) {
        m_ProgressConnections << connect(pDownloader, &TPackageFileDownloader::progress, this,
                                         [this, pDownloader](TFileSize BytesDownloaded, TFileSize BytesTotalToDownload,
                                                             TFileSize BytesWritten, TFileSize BytesTotalToWrite) {
                                             onDownloadProgress(pDownloader, BytesDownloaded, BytesTotalToDownload, BytesWritten,
                                                                BytesTotalToWrite);
                                         });
    }

    m_pButton->hide();
    m_pProgressBar->show();
}

void TClientPackageLayoutItem::onInstallationOrUpdateFinished(const TPackageInstallation&)
{
    for (const QMetaObject::Connection& Connection : qAsConst(m_ProgressConnections)) {
        disconnect(Connection);
    }
    m_ProgressConnections.clear();
    ++m_ProgressGeneration;

    m_pProgressBar->hide();
    m_pButton->show();
    m_pProgressBar->setValue(0);
    updatePackageImageFromPackageStatus();
    updateButtonFromPackageStatus();
    updatePackageNameAndVersion();
}

void TClientPackageLayoutItem::onPhaseProgress(std::uint64_t Generation, TFileSize Done, TFileSize Total, const QString& Text)
{
    if (Generation != m_ProgressGeneration) {
        return;
    }
    m_pProgressBar->setMaximum(kProgressMaximum);
    m_pProgressBar->setValue(progressValue(Done, Total));
    m_pProgressBar->setFormat(Text);
    m_pStatusLabel->setText(progressFigures(Done, Total));
}

void TClientPackageLayoutItem::onDownloadProgress(const TPackageFileDownloader* pDownloader, TFileSize BytesDownloaded,
                                                  TFileSize BytesTotalToDownload, TFileSize BytesWritten, TFileSize BytesTotalToWrite)
{
    const bool Downloading = BytesTotalToDownload > BytesDownloaded;
    m_pProgressBar->setMaximum(kProgressMaximum);
    if (Downloading) {
        const TRunningAverage& Average = pDownloader->receivedAverage();
        // The average counts bytes per 100 ms tick.
        const std::uint64_t Rate = Average.m_Count == 0 ? 0 : static_cast<std::uint64_t>(Average.m_Mean) * 10;
        m_pProgressBar->setValue(progressValue(BytesDownloaded, BytesTotalToDownload));
        m_pProgressBar->setFormat(formatRate(Rate));
        m_pStatusLabel->setText(progressFigures(BytesDownloaded, BytesTotalToDownload));
    } else {
        m_pProgressBar->setValue(progressValue(BytesWritten, BytesTotalToWrite));
        m_pProgressBar->setFormat(QStringLiteral("Writing..."));
        m_pStatusLabel->setText(progressFigures(BytesWritten, BytesTotalToWrite));
    }
}

void TClientPackageLayoutItem::onLocalPackageStatusChanged()
{
    updatePackageImageFromPackageStatus();
    updateButtonFromPackageStatus();
    updatePackageNameAndVersion();
    updateDefaultClientCheckboxFromPackageStatus();
}

void TClientPackageLayoutItem::updatePackageNameAndVersion()
{
    if (m_pNameLabel) {
        m_pNameLabel->setText(m_pPackage->m_Name);
    }
    const TPackageConfigurationReader* pConfiguration = m_pPackage->currentConfiguration();
    if (!pConfiguration) {
        m_pStatusLabel->setText(QString());
    } else if (pConfiguration->m_Version.isEmpty()) {
        m_pStatusLabel->setText(QStringLiteral("?"));
    } else {
        m_pStatusLabel->setText(pConfiguration->m_Version);
    }
}

void TClientPackageLayoutItem::updatePackageImageFromPackageStatus()
{
    QString Variant = QStringLiteral("QT");
    if (const TPackageConfigurationReader* pConfiguration = m_pPackage->currentConfiguration()) {
        if (pConfiguration->m_Generation == EPackageGeneration::First) {
            Variant = QStringLiteral("Classic");
        } else if (pConfiguration->m_Variant == EPackageVariant::Preview) {
            Variant = QStringLiteral("Preview");
        } else if (pConfiguration->m_Variant == EPackageVariant::Beta) {
            Variant = QStringLiteral("Beta");
        } else if (pConfiguration->m_Variant == EPackageVariant::Test) {
            Variant = QStringLiteral("Test");
        }
    }
    const bool Installed = m_pPackage->localPackageStatus() == ELocalPackageStatus::Installed;
    const QString Path = QStringLiteral(":/images/launcher/TorvaneLogo_") + Variant +
        (Installed ? QString() : QStringLiteral("_disabled")) + QStringLiteral(".png");
    if (m_pPackage->m_LogoLinkTarget.isEmpty()) {
        m_pLogoLabel->setStyleSheet(QStringLiteral("\n          QLabel {\n            image: url(") + Path +
                                    QStringLiteral(");\n          }\n        "));
    } else {
        // escaped: a quote in the target must not end the attribute and add markup
        const QString Target = QString::fromUtf8(m_pPackage->m_LogoLinkTarget.toEncoded()).toHtmlEscaped();
        m_pLogoLabel->setText(QStringLiteral("<a href=\"") + Target + QStringLiteral("\"><img src=\"") + Path + QStringLiteral("\"></a>"));
        m_pLogoLabel->setTextFormat(Qt::RichText);
    }
    m_pLogoLabel->setToolTip(Qt::convertFromPlainText(m_pPackage->m_Name));
}

void TClientPackageLayoutItem::updateButtonFromPackageStatus()
{
    QString Colour;
    QString Icon;
    QStringList MenuActions;
    switch (m_pPackage->localPackageStatus()) {
    case ELocalPackageStatus::Undetermined:
        Colour = QStringLiteral("Red");
        break;
    case ELocalPackageStatus::NotInstalled:
        Colour = QStringLiteral("Blue");
        Icon = QStringLiteral("Download");
        break;
    case ELocalPackageStatus::PartiallyInstalled:
    case ELocalPackageStatus::UpdateRequired:
        Colour = QStringLiteral("Orange");
        Icon = QStringLiteral("Update");
        break;
    default:
        Colour = QStringLiteral("Green");
        Icon = QStringLiteral("Play");
        MenuActions << QStringLiteral("Verify");
        break;
    }
    QMenu* pMenu = m_pButton->contextMenu();
    const QList<QAction*> OldActions = pMenu->actions();
    pMenu->clear();
    for (QAction* pAction : OldActions) {
        if (pAction->parent() == m_pButton) {
            delete pAction;
        }
    }
    for (const QString& Text : qAsConst(MenuActions)) {
        pMenu->addAction(new QAction(Text, m_pButton));
    }
    m_pButton->setToolTip(Icon);
    m_pButton->setFixedSize(kButtonSize);
    m_pButton->setStyleSheet(QString::fromUtf8(kButtonStyleSheet).arg(Colour, Icon));
}

void TClientPackageLayoutItem::updateDefaultClientCheckboxFromPackageStatus()
{
    m_pDefaultClientCheckbox->setVisible(m_pPackage->localPackageStatus() == ELocalPackageStatus::Installed);
}

} // namespace zarvo::launcher
