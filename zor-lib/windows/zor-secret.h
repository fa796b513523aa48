// Encryption of stored strings (passwords) with the per-installation key.
//
// The key is a random 256-bit value kept in the file "string-encryption.key"
// of the profile folder (zor-sysfolders.h): 64 lower-case hexadecimal digits
// and a line feed, mode 0600. It is made on first use, atomically: written to
// a temporary file, fsynced, then linked into place, so that two processes
// starting at once end up with the same key. The 64 digits are the passphrase
// of the cipher in zor-crypt.h. A key file of any other form is an error; it
// is never replaced, since every string encrypted with it would be lost.
#pragma once

#include "zor-string.h"

// File name of the key in the profile folder.
inline constexpr char ZOR_SECRET_KEY_FILE[] = "string-encryption.key";

// The per-installation passphrase, created when missing.
bool ZorGetInstallationKey(CNarrowString& passphrase, CWideString& err);

// "E1:..." from a clear text and back, with the installation key (zor-crypt.h
// describes the stored form and the error texts). An empty stored text is an
// empty password.
bool ZorEncryptString(const CWideString& clear, CWideString& stored, CWideString& err);
bool ZorDecryptString(const CWideString& stored, CWideString& clear, CWideString& err);

// The system's user-bound data protection has no counterpart here: always
// false with "CryptUnprotectData: not available on this platform".
bool ZorCryptUnprotectData(const CNarrowString& blob, CNarrowString& data, CWideString& err);
