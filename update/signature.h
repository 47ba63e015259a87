// Detached Ed25519 signatures in minisign's format, checked against the keys this program trusts.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

namespace update {

struct PublicKey
{
    QByteArray id;  // 8 bytes
    QByteArray key; // 32 bytes
};

struct Signature
{
    QByteArray keyId;     // 8 bytes
    QByteArray signature; // 64 bytes, over the file's BLAKE2b-512 hash (minisign's "ED")
    QByteArray trustedComment;
    QByteArray globalSignature; // 64 bytes, over signature + trusted comment
};

#ifdef STABLOMAT_TEST_HOOKS
// Test builds only: the environment variable naming a minisign public-key file whose keys are
// trusted besides the maker's.
inline const char KeyFileVariable[] = "STABLOMAT_UPDATE_KEY_FILE";
#endif

// Every key in a minisign public-key file (a base64 line of "Ed", key id and key).
QList<PublicKey> parsePublicKeys(const QByteArray &text);
// The maker's key, built in; in a test build also the keys of the file named by KeyFileVariable.
QList<PublicKey> trustedKeys();

// A minisign signature file: untrusted comment, signature ("ED" only), trusted comment, global
// signature.
bool parseSignature(const QByteArray &text, Signature &signature);

// The signature is well formed, names one of keys and its global signature verifies: worth
// downloading the file for.
bool signatureTrusted(const QByteArray &signatureText, const QList<PublicKey> &keys);
// True when the file is signed by one of keys, trusted comment included.
bool verifyFile(const QString &path, const QByteArray &signatureText, const QList<PublicKey> &keys);

} // namespace update
