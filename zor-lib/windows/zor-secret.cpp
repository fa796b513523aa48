// The per-installation key file and the string encryption that uses it.
#include "zor-secret.h"

#include "zor-crypt.h"
#include "zor-sysfolders.h"
#include "zor-unicode.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/rand.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const int kKeyBytes = 32;
const int kKeyDigits = 2 * kKeyBytes;

CWideString ErrnoText(int e) {
    return Utf8ToWide(std::strerror(e));
}

bool IsKeyText(const char* p, int n) {
    if (n != kKeyDigits + 1 || p[kKeyDigits] != '\n') return false;
    for (int i = 0; i < kKeyDigits; ++i)
        if (!((p[i] >= '0' && p[i] <= '9') || (p[i] >= 'a' && p[i] <= 'f'))) return false;
    return true;
}

// Reads the key file. bMissing when it does not exist.
bool ReadKeyFile(const CNarrowString& path, CNarrowString& key, bool& bMissing, CWideString& err) {
    bMissing = false;
    int fd = open(path.GetString(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        if (errno == ENOENT) {
            bMissing = true;
            return true;
        }
        err.AppendFormat(u"cannot open the key file '%s': %s", path, ErrnoText(errno));
        return false;
    }
    char buf[kKeyDigits + 2];
    int got = 0;
    for (;;) {
        ssize_t n = read(fd, buf + got, sizeof buf - (size_t)got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            err.AppendFormat(u"cannot read the key file '%s': %s", path, ErrnoText(errno));
            close(fd);
            return false;
        }
        if (n == 0) break;
        got += (int)n;
        if (got == (int)sizeof buf) break;
    }
    close(fd);
    bool ok = IsKeyText(buf, got);
    if (ok) key.SetString(buf, kKeyDigits);
    OPENSSL_cleanse(buf, sizeof buf);
    if (!ok) {
        err.AppendFormat(u"the key file '%s' is damaged (64 hexadecimal digits and a line feed expected); "
                         u"it is left as it is, since the stored passwords depend on it",
                         path);
        return false;
    }
    return true;
}

// Makes a new key file atomically; when another process made one first, that one wins.
bool CreateKeyFile(const CNarrowString& folder, const CNarrowString& path, CWideString& err) {
    unsigned char raw[kKeyBytes];
    if (RAND_bytes(raw, sizeof raw) != 1) {
        err.Append(u"cannot make a random key");
        return false;
    }
    char text[kKeyDigits + 1];
    for (int i = 0; i < kKeyBytes; ++i) std::snprintf(text + 2 * i, 3, "%02x", raw[i]);
    text[kKeyDigits] = '\n';
    OPENSSL_cleanse(raw, sizeof raw);

    unsigned char r[8];
    RAND_bytes(r, sizeof r);
    CNarrowString tmp;
    tmp.Format("%s/.%s.%d.%02x%02x%02x%02x.tmp", folder, ZOR_SECRET_KEY_FILE, (int)getpid(), r[0], r[1], r[2],
               r[3]);
    int fd = open(tmp.GetString(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        OPENSSL_cleanse(text, sizeof text);
        err.AppendFormat(u"cannot create the key file '%s': %s", tmp, ErrnoText(errno));
        return false;
    }
    bool ok = fchmod(fd, 0600) == 0 && write(fd, text, sizeof text) == (ssize_t)sizeof text && fsync(fd) == 0;
    int e = errno;
    OPENSSL_cleanse(text, sizeof text);
    if (close(fd) != 0 && ok) {
        ok = false;
        e = errno;
    }
    if (!ok) {
        unlink(tmp.GetString());
        err.AppendFormat(u"cannot write the key file '%s': %s", tmp, ErrnoText(e));
        return false;
    }
    // link() never replaces an existing file; file systems without hard
    // links get a rename that refuses to replace.
    int rc = link(tmp.GetString(), path.GetString());
    if (rc != 0 && errno != EEXIST)
        rc = renameat2(AT_FDCWD, tmp.GetString(), AT_FDCWD, path.GetString(), RENAME_NOREPLACE);
    e = errno;
    unlink(tmp.GetString());
    if (rc != 0 && e != EEXIST) {
        err.AppendFormat(u"cannot create the key file '%s': %s", path, ErrnoText(e));
        return false;
    }
    int dfd = open(folder.GetString(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        fsync(dfd);
        close(dfd);
    }
    return true;
}

} // namespace

bool ZorGetInstallationKey(CNarrowString& passphrase, CWideString& err) {
    CWideString folderW;
    bool bPortable;
    if (!ZorGetProfileFolder(folderW, bPortable, err)) return false;
    CNarrowString folder = WideToUtf8(folderW);
    CNarrowString path = folder + "/" + ZOR_SECRET_KEY_FILE;
    bool bMissing;
    if (!ReadKeyFile(path, passphrase, bMissing, err)) return false;
    if (!bMissing) return true;
    if (!CreateKeyFile(folder, path, err)) return false;
    if (!ReadKeyFile(path, passphrase, bMissing, err)) return false;
    if (bMissing) {
        err.AppendFormat(u"the key file '%s' vanished after it was created", path);
        return false;
    }
    return true;
}

bool ZorEncryptString(const CWideString& clear, CWideString& stored, CWideString& err) {
    CNarrowString key;
    CWideString why;
    if (!ZorGetInstallationKey(key, why)) {
        err.Append(u"cannot encrypt string: ").Append(why);
        return false;
    }
    bool ok = ZorEncryptStringWithKey(clear, key, stored, err);
    OPENSSL_cleanse(key.GetBuffer(), (size_t)key.GetLength());
    key.ReleaseBuffer(0);
    return ok;
}

bool ZorDecryptString(const CWideString& stored, CWideString& clear, CWideString& err) {
    if (stored.IsEmpty()) {
        clear.Empty();
        return true;
    }
    CNarrowString key;
    CWideString why;
    if (!ZorGetInstallationKey(key, why)) {
        err.Append(u"cannot decrypt string: ").Append(why);
        return false;
    }
    bool ok = ZorDecryptStringWithKey(stored, key, clear, err);
    OPENSSL_cleanse(key.GetBuffer(), (size_t)key.GetLength());
    key.ReleaseBuffer(0);
    return ok;
}

bool ZorCryptUnprotectData(const CNarrowString&, CNarrowString& data, CWideString& err) {
    data.Empty();
    err.Append(u"CryptUnprotectData: not available on this platform");
    return false;
}
