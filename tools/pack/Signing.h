#pragma once

// Detached signatures of the documents the tool writes.

#include <QByteArray>
#include <QString>

namespace zarvo::pack {

// The PEM private key in KeyFile (as written by keygen or `openssl genpkey -algorithm
// ed25519`). Throws TToolError when it cannot be read or is no Ed25519 private key.
QByteArray readSigningKey(const QString& KeyFile);

// Writes Content to Path under a temporary name and renames it. When PrivateKeyPem is not
// empty, Path + ".sig" gets the base64 signature of exactly these bytes; otherwise a
// ".sig" left there by an earlier signed run is removed, as it cannot match any more.
void writeDocumentAndSignature(const QString& Path, const QByteArray& Content, const QByteArray& PrivateKeyPem);

} // namespace zarvo::pack
