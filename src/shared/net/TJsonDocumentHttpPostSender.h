#pragma once

#include <QByteArray>
#include <QJsonDocument>
#include <QNetworkReply>
#include <QObject>
#include <QSet>
#include <QString>
#include <QUrl>

#include <memory>

class QNetworkAccessManager;

namespace shared {

// Posts JSON documents (compact, "application/json", form-data name "metadata") and
// reports each answer as finished(code, error text, body).
//
// Only the replies of its own posts are reported, so the network access manager may be
// shared with other users, and connecting the manager's finished signal to onFinished
// a second time does not report a reply twice.
class TJsonDocumentHttpPostSender : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY(TJsonDocumentHttpPostSender)
public:
    // Throws std::invalid_argument for a null manager.
    explicit TJsonDocumentHttpPostSender(std::shared_ptr<QNetworkAccessManager> pNetworkAccessManager, QObject* pParent = nullptr);
    // Aborts the posts still running; they are not reported.
    ~TJsonDocumentHttpPostSender() override;

    virtual void send(const QUrl& Url, const QJsonDocument& Document);
    // Inactivity time-out of every post started from now on (0: none).
    void setTransferTimeout(int Milliseconds) { m_TransferTimeoutMs = Milliseconds; }

signals:
    void finished(QNetworkReply::NetworkError NetworkErrorCode, QString NetworkErrorString, QByteArray ReplyFromServer);

public slots:
    void onFinished(QNetworkReply* Reply);

private:
    std::shared_ptr<QNetworkAccessManager> m_pNetworkAccessManager;
    QSet<QNetworkReply*> m_RunningReplies;
    int m_TransferTimeoutMs = 30000;
};

} // namespace shared
