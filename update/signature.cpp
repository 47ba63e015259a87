#include "update/signature.h"

#include <QFile>
#include <QtDebug>

#include <sodium.h>

namespace update {

namespace {

// The maker's public key. The secret key is kept by the maker alone, never in this repository;
// a maker who signs its own releases puts its public key here.
const char makerPublicKey[] = "RWRQlIiXNfTLpJTU8kABhiZ8nY2r/6MQXwn//PBCwy6sTJfnkWwMN9dN";

const int maxSignatureSize = 4096;

bool decodeBase64(const QByteArray &text, int size, QByteArray &out)
{
    const QByteArray::FromBase64Result decoded =
        QByteArray::fromBase64Encoding(text.trimmed(), QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.size() != size)
        return false;
    out = decoded.decoded;
    return true;
}

QList<QByteArray> lines(const QByteArray &text)
{
    QList<QByteArray> result = text.split('\n');
    for (QByteArray &line : result) {
        if (line.endsWith('\r'))
            line.chop(1);
    }
    return result;
}

bool sodiumReady()
{
    static const bool ready = sodium_init() >= 0;
    return ready;
}

bool verifyDetached(const QByteArray &signature, const unsigned char *message, qint64 size,
                    const QByteArray &key)
{
    return crypto_sign_verify_detached(reinterpret_cast<const unsigned char *>(signature.constData()),
                                       message, static_cast<unsigned long long>(size),
                                       reinterpret_cast<const unsigned char *>(key.constData())) == 0;
}

// BLAKE2b-512 of the whole file, read in pieces.
bool fileHash(QFile &file, QByteArray &hash)
{
    crypto_generichash_state state;
    if (crypto_generichash_init(&state, nullptr, 0, crypto_generichash_BYTES_MAX) != 0)
        return false;
    QByteArray buffer(1 << 16, Qt::Uninitialized);
    for (;;) {
        const qint64 n = file.read(buffer.data(), buffer.size());
        if (n < 0)
            return false;
        if (n == 0)
            break;
        crypto_generichash_update(&state, reinterpret_cast<const unsigned char *>(buffer.constData()),
                                  static_cast<unsigned long long>(n));
    }
    hash.resize(crypto_generichash_BYTES_MAX);
    return crypto_generichash_final(&state, reinterpret_cast<unsigned char *>(hash.data()), hash.size()) == 0;
}

} // namespace

QList<PublicKey> parsePublicKeys(const QByteArray &text)
{
    QList<PublicKey> keys;
    for (const QByteArray &line : lines(text)) {
        QByteArray raw;
        if (line.startsWith("untrusted comment:") || !decodeBase64(line, 42, raw) || !raw.startsWith("Ed"))
            continue;
        keys.append(PublicKey{raw.mid(2, 8), raw.mid(10, 32)});
    }
    return keys;
}

QList<PublicKey> trustedKeys()
{
    const QList<PublicKey> keys = parsePublicKeys(makerPublicKey);
#ifdef STABLOMAT_TEST_HOOKS
    const int maxKeyFileSize = 64 * 1024;
    const QString path = qEnvironmentVariable(KeyFileVariable);
    if (path.isEmpty())
        return keys;
    QFile file(path);
    const QList<PublicKey> extra =
        file.open(QIODevice::ReadOnly) ? parsePublicKeys(file.read(maxKeyFileSize)) : QList<PublicKey>();
    if (extra.isEmpty())
        qDebug() << "update: no public key in" << path;
    return keys + extra;
#else
    return keys;
#endif
}

bool parseSignature(const QByteArray &text, Signature &signature)
{
    if (text.size() > maxSignatureSize)
        return false;
    const QList<QByteArray> parts = lines(text);
    const QByteArray trustedPrefix = "trusted comment: ";
    if (parts.size() < 4 || !parts.at(0).startsWith("untrusted comment: ") ||
        !parts.at(2).startsWith(trustedPrefix))
        return false;
    for (int i = 4; i < parts.size(); ++i) {
        if (!parts.at(i).isEmpty())
            return false;
    }
    QByteArray raw;
    if (!decodeBase64(parts.at(1), 74, raw) || !decodeBase64(parts.at(3), 64, signature.globalSignature))
        return false;
    // Only the prehashed form: the algorithm bytes are not covered by the global signature, so
    // "ED" turned into "Ed" would make a hash verify as a 64-byte file.
    if (raw.left(2) != "ED")
        return false;
    signature.keyId = raw.mid(2, 8);
    signature.signature = raw.mid(10, 64);
    signature.trustedComment = parts.at(2).mid(trustedPrefix.size());
    return true;
}

namespace {

// The key that made signature, when it is trusted and the global signature verifies.
const PublicKey *trustedSigner(const Signature &signature, const QList<PublicKey> &keys)
{
    const QByteArray global = signature.signature + signature.trustedComment;
    for (const PublicKey &key : keys) {
        if (key.id == signature.keyId &&
            verifyDetached(signature.globalSignature,
                           reinterpret_cast<const unsigned char *>(global.constData()), global.size(),
                           key.key))
            return &key;
    }
    return nullptr;
}

} // namespace

bool signatureTrusted(const QByteArray &signatureText, const QList<PublicKey> &keys)
{
    Signature signature;
    return sodiumReady() && parseSignature(signatureText, signature) && trustedSigner(signature, keys);
}

bool verifyFile(const QString &path, const QByteArray &signatureText, const QList<PublicKey> &keys)
{
    Signature signature;
    if (!sodiumReady() || !parseSignature(signatureText, signature))
        return false;
    const PublicKey *key = trustedSigner(signature, keys);
    if (!key)
        return false;

    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    QByteArray hash;
    return fileHash(file, hash) &&
           verifyDetached(signature.signature, reinterpret_cast<const unsigned char *>(hash.constData()),
                          hash.size(), key->key);
}

} // namespace update
