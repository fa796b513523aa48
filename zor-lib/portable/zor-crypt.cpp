// String encryption primitives (see zor-crypt.h).
#include "zor-crypt.h"

#include "zor-text.h"
#include "zor-unicode.h"

#include <cstring>
#include <memory>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <zlib.h>

namespace {

const char kPrefix[] = "E1:";
const char kMagic[] = "Salted__";
const int kMagicLen = 8;

struct CipherCtxFree {
    void operator()(EVP_CIPHER_CTX* p) const { EVP_CIPHER_CTX_free(p); }
};
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree>;

// Key material lives on the stack; wipe it when done.
struct KeyIv {
    uint8_t key[ZOR_CRYPT_KEY_LEN];
    uint8_t iv[ZOR_CRYPT_IV_LEN];
    ~KeyIv() { OPENSSL_cleanse(this, sizeof *this); }
};

CWideString OpenSslErrorText() {
    unsigned long e = ERR_get_error();
    ERR_clear_error();
    if (!e) return u"(no detail)";
    char buf[256];
    ERR_error_string_n(e, buf, sizeof buf);
    return Utf8ToWide(buf);
}

// Runs the cipher over the input; false when an EVP call fails (for
// decryption the final step fails on bad padding, i.e. a wrong key).
bool RunCipher(bool bEncrypt, const KeyIv& k, const uint8_t* in, int inLen, CNarrowString& out) {
    CipherCtx ctx(EVP_CIPHER_CTX_new());
    if (!ctx) return false;
    if (EVP_CipherInit_ex(ctx.get(), EVP_aes_256_cbc(), nullptr, k.key, k.iv, bEncrypt ? 1 : 0) != 1)
        return false;
    out.Empty();
    uint8_t* buf = (uint8_t*)out.GetBufferSetLength(inLen + ZOR_CRYPT_IV_LEN);
    int n1 = 0, n2 = 0;
    bool ok = EVP_CipherUpdate(ctx.get(), buf, &n1, in, inLen) == 1 &&
              EVP_CipherFinal_ex(ctx.get(), buf + n1, &n2) == 1;
    out.ReleaseBuffer(ok ? n1 + n2 : 0);
    if (!ok) {
        OPENSSL_cleanse(buf, (size_t)(inLen + ZOR_CRYPT_IV_LEN));
        ERR_clear_error();
    }
    return ok;
}

} // namespace

bool ZorHmacSha1(const void* key, size_t keyLen, const void* data, size_t len, uint8_t out[ZOR_SHA1_LEN]) {
    if (keyLen > INT32_MAX) return false;
    unsigned int n = 0;
    static const uint8_t s_empty = 0;
    if (!HMAC(EVP_sha1(), key ? key : &s_empty, (int)keyLen, data ? (const uint8_t*)data : &s_empty, len, out, &n))
        return false;
    return n == ZOR_SHA1_LEN;
}

uint32_t ZorCrc32(const void* data, size_t len) {
    uLong c = crc32(0L, Z_NULL, 0);
    const Bytef* p = (const Bytef*)data;
    while (len > 0) { // zlib takes 32-bit lengths
        uInt n = len > 0x40000000u ? 0x40000000u : (uInt)len;
        c = crc32(c, p, n);
        p += n;
        len -= n;
    }
    return (uint32_t)c;
}

bool ZorDeriveKeyIv(const CNarrowString& passphrase, const uint8_t salt[ZOR_CRYPT_SALT_LEN], int nIterations,
                    uint8_t key[ZOR_CRYPT_KEY_LEN], uint8_t iv[ZOR_CRYPT_IV_LEN], CWideString& err) {
    int n = EVP_BytesToKey(EVP_aes_256_cbc(), EVP_sha1(), salt, (const unsigned char*)passphrase.GetString(),
                           passphrase.GetLength(), nIterations, key, iv);
    if (n != ZOR_CRYPT_KEY_LEN) {
        err.Append(u"cannot derive the encryption key: ").Append(OpenSslErrorText());
        return false;
    }
    return true;
}

bool ZorAesEncryptSalted(const CNarrowString& plain, const CNarrowString& passphrase, CNarrowString& blob,
                         CWideString& err, const uint8_t* pSalt) {
    uint8_t salt[ZOR_CRYPT_SALT_LEN];
    if (pSalt) {
        std::memcpy(salt, pSalt, sizeof salt);
    } else if (RAND_bytes(salt, sizeof salt) != 1) {
        err.Append(u"cannot make a random salt: ").Append(OpenSslErrorText());
        return false;
    }
    KeyIv k;
    if (!ZorDeriveKeyIv(passphrase, salt, ZOR_CRYPT_ITERATIONS, k.key, k.iv, err)) return false;
    CNarrowString ct;
    if (!RunCipher(true, k, (const uint8_t*)plain.GetString(), plain.GetLength(), ct)) {
        err.Append(u"encryption failed: ").Append(OpenSslErrorText());
        return false;
    }
    blob = kMagic;
    blob.Append((const char*)salt, sizeof salt);
    blob.Append(ct);
    return true;
}

bool ZorAesDecryptSalted(const CNarrowString& blob, const CNarrowString& passphrase, CNarrowString& plain,
                         CWideString& err) {
    const int head = kMagicLen + ZOR_CRYPT_SALT_LEN;
    if (blob.GetLength() < head || std::memcmp(blob.GetString(), kMagic, kMagicLen) != 0) {
        err.Append(u"unknown encrypted string format (no salt header)");
        return false;
    }
    int ctLen = blob.GetLength() - head;
    if (ctLen == 0 || ctLen % 16 != 0) {
        err.AppendFormat(u"unknown encrypted string format (cipher text of %d bytes is not whole blocks)",
                         ctLen);
        return false;
    }
    KeyIv k;
    if (!ZorDeriveKeyIv(passphrase, (const uint8_t*)blob.GetString() + kMagicLen, ZOR_CRYPT_ITERATIONS, k.key,
                        k.iv, err))
        return false;
    if (!RunCipher(false, k, (const uint8_t*)blob.GetString() + head, ctLen, plain)) {
        err.Append(u"decryption failed (wrong key or damaged data)");
        return false;
    }
    return true;
}

bool ZorEncryptStringWithKey(const CWideString& clear, const CNarrowString& passphrase, CWideString& stored,
                             CWideString& err) {
    CNarrowString plain = WideToUtf8(clear);
    uint32_t crc = ZorCrc32(plain.GetString(), (size_t)plain.GetLength());
    const char trailer[4] = {(char)(crc >> 24), (char)(crc >> 16), (char)(crc >> 8), (char)crc};
    plain.Append(trailer, 4);
    CNarrowString blob;
    CWideString why;
    bool ok = ZorAesEncryptSalted(plain, passphrase, blob, why);
    OPENSSL_cleanse(plain.GetBuffer(), (size_t)plain.GetLength());
    plain.ReleaseBuffer(0);
    if (!ok) {
        err.Append(u"cannot encrypt string: ").Append(why);
        return false;
    }
    stored = CWideString(kPrefix) + CWideString(Base64Encode(blob.GetString(), (size_t)blob.GetLength()));
    return true;
}

bool ZorDecryptStringWithKey(const CWideString& stored, const CNarrowString& passphrase, CWideString& clear,
                             CWideString& err) {
    if (stored.IsEmpty()) {
        clear.Empty();
        return true;
    }
    const char16_t* const kErr = u"cannot decrypt string: ";
    if (!stored.StartsWith(u"E1:")) {
        err.Append(kErr).Append(u"unknown encrypted string format (no \"E1:\" prefix)");
        return false;
    }
    CWideString b64w = stored.Mid(3);
    for (int i = 0; i < b64w.GetLength(); ++i) {
        if (b64w[i] > 0x7F) {
            err.Append(kErr).Append(u"bad Base64 text: non-ASCII character");
            return false;
        }
    }
    CNarrowString blob, b64(b64w);
    CWideString why;
    if (!Base64Decode(b64, blob, why)) {
        err.Append(kErr).Append(why);
        return false;
    }
    CNarrowString plain;
    if (!ZorAesDecryptSalted(blob, passphrase, plain, why)) {
        err.Append(kErr).Append(why);
        return false;
    }
    bool ok = false;
    int n = plain.GetLength() - 4;
    if (n >= 0) {
        const uint8_t* t = (const uint8_t*)plain.GetString() + n;
        uint32_t want = (uint32_t)t[0] << 24 | (uint32_t)t[1] << 16 | (uint32_t)t[2] << 8 | t[3];
        ok = ZorCrc32(plain.GetString(), (size_t)n) == want;
    }
    if (!ok) {
        err.Append(kErr).Append(u"integrity check failed");
    } else {
        CWideString text;
        ok = Utf8ToWideChecked(plain.GetString(), n, text, why);
        if (ok)
            clear = text;
        else
            err.Append(kErr).Append(u"decrypted text is not valid UTF-8");
    }
    OPENSSL_cleanse(plain.GetBuffer(), (size_t)plain.GetLength());
    plain.ReleaseBuffer(0);
    return ok;
}
