// torvane-pack keygen, and the signatures written beside the documents.

#include "Ed25519.h"
#include "PackTool.h"
#include "Signing.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <unistd.h>

namespace zarvo::pack {

namespace {

const QString kSignatureSuffix = QStringLiteral(".sig");

void writeFileAtomically(const QString& Path, const QByteArray& Content)
{
    QSaveFile File(Path);
    if (!File.open(QIODevice::WriteOnly) || File.write(Content) != Content.size() || !File.commit()) {
        throw TToolError(QStringLiteral("cannot write '%1': %2").arg(Path, File.errorString()));
    }
}

// The private key never exists with wider permissions, not even for a moment: the file is
// created with mode 0600 and an existing file is never overwritten.
void writePrivateKeyFile(const QString& Path, const QByteArray& Pem)
{
    const QByteArray NativePath = QFile::encodeName(Path);
    const int Descriptor = ::open(NativePath.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (Descriptor < 0) {
        const int Error = errno;
        if (Error == EEXIST) {
            throw TToolError(QStringLiteral("'%1' exists already; keygen never overwrites a key").arg(Path));
        }
        throw TToolError(QStringLiteral("cannot create '%1': %2").arg(Path, QString::fromLocal8Bit(std::strerror(Error))));
    }
    qint64 Written = 0;
    while (Written < Pem.size()) {
        const ssize_t Result = ::write(Descriptor, Pem.constData() + Written, static_cast<size_t>(Pem.size() - Written));
        if (Result < 0 && errno == EINTR) {
            continue;
        }
        if (Result <= 0) {
            break;
        }
        Written += Result;
    }
    const bool Synced = ::fsync(Descriptor) == 0;
    const bool Closed = ::close(Descriptor) == 0;
    if (Written != Pem.size() || !Synced || !Closed) {
        ::unlink(NativePath.constData());
        throw TToolError(QStringLiteral("cannot write '%1'").arg(Path));
    }
}

} // namespace

QByteArray readSigningKey(const QString& KeyFile)
{
    QFile File(KeyFile);
    if (!File.open(QIODevice::ReadOnly)) {
        throw TToolError(QStringLiteral("cannot read the key '%1': %2").arg(KeyFile, File.errorString()));
    }
    // A PEM key is a few hundred bytes; anything far larger is not one.
    const QByteArray Pem = File.read(64 * 1024);
    if (shared::ed25519::publicKeyOfPrivateKey(Pem).isEmpty()) {
        throw TToolError(QStringLiteral("'%1' holds no Ed25519 private key (PEM, PKCS#8)").arg(KeyFile));
    }
    return Pem;
}

void writeDocumentAndSignature(const QString& Path, const QByteArray& Content, const QByteArray& PrivateKeyPem)
{
    const QString SignaturePath = Path + kSignatureSuffix;
    if (PrivateKeyPem.isEmpty()) {
        writeFileAtomically(Path, Content);
        if (QFileInfo::exists(SignaturePath) && !QFile::remove(SignaturePath)) {
            throw TToolError(QStringLiteral("cannot remove the outdated signature '%1'").arg(SignaturePath));
        }
        return;
    }
    const QByteArray Signature = shared::ed25519::signatureFileContent(PrivateKeyPem, Content);
    writeFileAtomically(Path, Content);
    writeFileAtomically(SignaturePath, Signature);
}

int runKeygenCommand(QStringList Arguments)
{
    try {
        if (Arguments.size() != 1 || Arguments.first().isEmpty() || Arguments.first().startsWith(QLatin1Char('-'))) {
            throw TUsageError(QStringLiteral("keygen needs exactly one KEYFILE"));
        }
        const QString KeyFile = Arguments.first();
        const shared::ed25519::TKeyPair Pair = shared::ed25519::generateKeyPair();
        writePrivateKeyFile(KeyFile, Pair.m_PrivateKeyPem);
        std::cout << shared::ed25519::encodeBase64(Pair.m_PublicKey).constData() << std::endl;
        return 0;
    } catch (const TUsageError& Error) {
        return reportError(QString::fromUtf8(Error.what()), kExitUsage);
    } catch (const std::exception& Error) {
        return reportError(QString::fromUtf8(Error.what()), kExitFailure);
    }
}

int runPublicKeyCommand(QStringList Arguments)
{
    try {
        if (Arguments.size() != 1) {
            throw TUsageError(QStringLiteral("pubkey needs exactly one KEYFILE"));
        }
        const QByteArray Pem = readSigningKey(Arguments.first());
        std::cout << shared::ed25519::encodeBase64(shared::ed25519::publicKeyOfPrivateKey(Pem)).constData() << std::endl;
        return 0;
    } catch (const TUsageError& Error) {
        return reportError(QString::fromUtf8(Error.what()), kExitUsage);
    } catch (const std::exception& Error) {
        return reportError(QString::fromUtf8(Error.what()), kExitFailure);
    }
}

} // namespace zarvo::pack
