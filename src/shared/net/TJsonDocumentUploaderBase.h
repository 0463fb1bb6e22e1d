#pragma once

#include "TJsonDocumentHttpPostSender.h"

#include <QJsonDocument>
#include <QNetworkReply>
#include <QObject>
#include <QString>

#include <memory>

namespace shared {

// Sends a JSON document through a post sender and reads the server's JSON answer:
// accepted when its root object has no "errorCode" or "errorCode" 0, rejected with
// "errorCode" and "errorMessage" otherwise.
class TJsonDocumentUploaderBase : public QObject {
    Q_OBJECT
public:
    // Error code of an answer that is not a JSON object or whose "errorCode" is not an
    // integer.
    static constexpr qint32 kInvalidAnswerErrorCode = -100;

    // Connects the sender's finished to onFinished. Throws std::invalid_argument for a
    // null sender.
    explicit TJsonDocumentUploaderBase(std::shared_ptr<TJsonDocumentHttpPostSender> pPostSender, QObject* pParent = nullptr);
    ~TJsonDocumentUploaderBase() override;

    virtual void send(const QUrl& Url, const QJsonDocument& Document);

    // Of the last answer: empty and 0 after a success. A transfer error leaves the code
    // 0 and its text in the message; a server rejection gives its code and message.
    QString getLastErrorMessage() const { return m_LastErrorMessage; }
    qint32 getLastErrorCode() const { return m_LastErrorCode; }

signals:
    void finished(bool UploadSuccessful, QJsonDocument ReplyFromServer);

public slots:
    void onFinished(QNetworkReply::NetworkError NetworkErrorCode, QString NetworkErrorString, QByteArray ReplyFromServer);

protected:
    std::shared_ptr<TJsonDocumentHttpPostSender> m_pPostSender;

private:
    void fail(const QString& ErrorMessage, qint32 ErrorCode, const QJsonDocument& ReplyFromServer);

    QString m_LastErrorMessage;
    qint32 m_LastErrorCode;
};

} // namespace shared
