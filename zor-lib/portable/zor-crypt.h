// String encryption primitives: AES-256-CBC with a salted key derivation and
// a crc32 integrity trailer. No platform dependency: the passphrase is the
// caller's (zor-secret.h supplies the per-installation one).
//
// Stored form of an encrypted string:
//   "E1:" + Base64( "Salted__" + salt(8) + AES-256-CBC( UTF-8 text + crc32 ) )
// - key and IV: EVP_BytesToKey with SHA-1, 10 iterations, the 8-byte random
//   salt and the passphrase bytes;
// - the crc32 (zlib) is computed over the UTF-8 bytes of the text and
//   appended as 4 bytes, most significant byte first (big-endian);
// - PKCS#7 padding, as the EVP interface does by default.
// "Salted__" + salt + ciphertext is the layout of `openssl enc -aes-256-cbc`,
// so the command-line tool can decrypt the Base64-decoded bytes when given
// the derived key and IV (-K/-iv; it cannot do 10 BytesToKey iterations itself).
#pragma once

#include "zor-string.h"

#include <cstddef>
#include <cstdint>

inline constexpr int ZOR_CRYPT_SALT_LEN = 8;
inline constexpr int ZOR_CRYPT_KEY_LEN = 32;
inline constexpr int ZOR_CRYPT_IV_LEN = 16;
inline constexpr int ZOR_CRYPT_ITERATIONS = 10;

// HMAC-SHA1 of the bytes under the key (20 bytes into out). False only when
// the library refuses (a key or text over 2 GiB).
inline constexpr int ZOR_SHA1_LEN = 20;
bool ZorHmacSha1(const void* key, size_t keyLen, const void* data, size_t len, uint8_t out[ZOR_SHA1_LEN]);

// zlib's crc32 of the bytes.
uint32_t ZorCrc32(const void* data, size_t len);

// Key and IV for AES-256-CBC by EVP_BytesToKey with SHA-1 and nIterations.
bool ZorDeriveKeyIv(const CNarrowString& passphrase, const uint8_t salt[ZOR_CRYPT_SALT_LEN], int nIterations,
                    uint8_t key[ZOR_CRYPT_KEY_LEN], uint8_t iv[ZOR_CRYPT_IV_LEN], CWideString& err);

// Encrypts bytes into "Salted__" + salt + ciphertext. pSalt null: a random salt.
bool ZorAesEncryptSalted(const CNarrowString& plain, const CNarrowString& passphrase, CNarrowString& blob,
                         CWideString& err, const uint8_t* pSalt = nullptr);
// The reverse. Errors: "unknown encrypted string format (...)" for a blob
// without the salt header or with a ciphertext that is not whole blocks,
// "decryption failed (wrong key or damaged data)".
bool ZorAesDecryptSalted(const CNarrowString& blob, const CNarrowString& passphrase, CNarrowString& plain,
                         CWideString& err);

// The stored form above, from and to a wide text, with the given passphrase.
// An empty stored text is an empty password (no decryption). Decrypt errors
// start with "cannot decrypt string: " and name the cause: unknown format,
// bad Base64, decryption failed, integrity check failed, or bad UTF-8.
bool ZorEncryptStringWithKey(const CWideString& clear, const CNarrowString& passphrase, CWideString& stored,
                             CWideString& err);
bool ZorDecryptStringWithKey(const CWideString& stored, const CNarrowString& passphrase, CWideString& clear,
                             CWideString& err);
