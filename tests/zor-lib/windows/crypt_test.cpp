// String encryption, checked against tools we did not write: the key
// derivation re-done in Python's hashlib, the cipher run by the openssl
// command; and the per-installation key file.
#include "zor-crypt.h"
#include "zor-secret.h"
#include "zor-text.h"
#include "zor-unicode.h"

#include "windows-test-util.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

// EVP_BytesToKey with SHA-1 written from its definition, and the openssl
// command doing the AES part.
const char kPyHelper[] = R"PY(
import base64, hashlib, os, subprocess, sys, zlib

def bytes_to_key(pw, salt, count, klen=32, ivlen=16):
    out, prev = b"", b""
    while len(out) < klen + ivlen:
        h = hashlib.sha1(prev + pw + salt).digest()
        for _ in range(count - 1):
            h = hashlib.sha1(h).digest()
        out += h
        prev = h
    return out[:klen], out[klen:klen + ivlen]

def openssl(direction, key, iv, data):
    r = subprocess.run(["openssl", "enc", direction, "-aes-256-cbc", "-K", key.hex(), "-iv", iv.hex()],
                       input=data, capture_output=True)
    if r.returncode != 0:
        sys.exit("openssl failed: " + r.stderr.decode())
    return r.stdout

def hexarg(a):
    return bytes.fromhex(a[1:])  # 'h' + hex digits, never empty

mode = sys.argv[1]
if mode == "kdf":
    key, iv = bytes_to_key(hexarg(sys.argv[2]), hexarg(sys.argv[3]), int(sys.argv[4]))
    print(key.hex(), iv.hex())
elif mode == "check":
    stored, pw, clear = sys.argv[2], hexarg(sys.argv[3]), hexarg(sys.argv[4])
    assert stored.startswith("E1:"), "prefix"
    blob = base64.b64decode(stored[3:], validate=True)
    assert blob[:8] == b"Salted__", "salt header"
    key, iv = bytes_to_key(pw, blob[8:16], 10)
    plain = openssl("-d", key, iv, blob[16:])
    want = clear + zlib.crc32(clear).to_bytes(4, "big")
    print("OK" if plain == want else "MISMATCH " + plain.hex() + " != " + want.hex())
elif mode == "make":
    pw, clear = hexarg(sys.argv[2]), hexarg(sys.argv[3])
    crc = zlib.crc32(clear)
    if len(sys.argv) > 4:
        crc ^= 1
    salt = os.urandom(8)
    key, iv = bytes_to_key(pw, salt, 10)
    ct = openssl("-e", key, iv, clear + crc.to_bytes(4, "big"))
    print("E1:" + base64.b64encode(b"Salted__" + salt + ct).decode())
)PY";

std::string Hex(const std::string& bytes) {
    static const char d[] = "0123456789abcdef";
    std::string r;
    for (unsigned char c : bytes) {
        r += d[c >> 4];
        r += d[c & 15];
    }
    return r;
}

std::string Hex(const uint8_t* p, size_t n) {
    return Hex(std::string((const char*)p, n));
}
// A hex argument of the helper script.
std::string HexArg(const std::string& bytes) {
    return "h" + Hex(bytes);
}

class Crypt : public ::testing::Test {
protected:
    wtest::TempDir m_dir;

    void SetUp() override {
        if (!wtest::HaveTool("openssl") || !wtest::HaveTool("python3"))
            GTEST_SKIP() << "needs openssl and python3";
        wtest::WriteFile(m_dir / "evp.py", kPyHelper);
    }
    std::string Py(const std::string& args) {
        int st = 0;
        std::string out = wtest::Run("/usr/bin/python3 " + wtest::Quote(m_dir / "evp.py") + " " + args, &st);
        EXPECT_EQ(st, 0) << args;
        while (!out.empty() && out.back() == '\n') out.pop_back();
        return out;
    }
};

const std::string kPass = "correct horse \xc3\xa9 battery";
const CWideString kClear = u"P\u00e4ssw\u00f6rd \u20ac \U0001D11E \"quoted\\\"";

TEST_F(Crypt, KeyDerivationAgreesWithHashlibAndOpenssl) {
    const uint8_t salt[8] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef};
    wtest::EnvVar pass("TV_TEST_PASS", kPass);
    // At one iteration the command-line tool derives key and IV the same way.
    std::string cli =
        wtest::Run("openssl enc -aes-256-cbc -md sha1 -S 0123456789abcdef -pass env:TV_TEST_PASS -P "
                   "2>/dev/null");
    std::string py1 = Py("kdf " + HexArg(kPass) + " h0123456789abcdef 1");
    uint8_t key[32], iv[16];
    CWideString err;
    ASSERT_TRUE(ZorDeriveKeyIv(CNarrowString(kPass.c_str()), salt, 1, key, iv, err)) << err;
    for (auto& c : cli) c = (char)tolower((unsigned char)c);
    EXPECT_NE(cli.find("key=" + Hex(key, 32)), std::string::npos) << cli;
    EXPECT_NE(cli.find("iv =" + Hex(iv, 16)), std::string::npos) << cli;
    EXPECT_EQ(py1, Hex(key, 32) + " " + Hex(iv, 16));
    // The stored form uses ten.
    ASSERT_TRUE(ZorDeriveKeyIv(CNarrowString(kPass.c_str()), salt, ZOR_CRYPT_ITERATIONS, key, iv, err))
        << err;
    EXPECT_EQ(Py("kdf " + HexArg(kPass) + " h0123456789abcdef 10"), Hex(key, 32) + " " + Hex(iv, 16));
}

TEST_F(Crypt, OpensslDecryptsWhatWeEncrypt) {
    for (const CWideString& clear :
         {kClear, CWideString(), CWideString(u"exactly 12 b"), CWideString(u"x")}) {
        CWideString stored, err;
        ASSERT_TRUE(ZorEncryptStringWithKey(clear, CNarrowString(kPass.c_str()), stored, err)) << err;
        EXPECT_TRUE(stored.StartsWith(u"E1:"));
        std::string utf8 = WideToUtf8(clear).GetString();
        EXPECT_EQ(Py("check " + wtest::Quote(WideToUtf8(stored).GetString()) + " " + HexArg(kPass) + " " +
                     HexArg(utf8)),
                  "OK");
        CWideString back = u"unset";
        EXPECT_TRUE(ZorDecryptStringWithKey(stored, CNarrowString(kPass.c_str()), back, err)) << err;
        EXPECT_EQ(back, clear);
    }
}

TEST_F(Crypt, WeDecryptWhatOpensslEncrypts) {
    std::string utf8 = WideToUtf8(kClear).GetString();
    std::string stored = Py("make " + HexArg(kPass) + " " + HexArg(utf8));
    CWideString clear, err;
    EXPECT_TRUE(ZorDecryptStringWithKey(Utf8ToWide(stored.c_str()), CNarrowString(kPass.c_str()), clear, err))
        << err;
    EXPECT_EQ(clear, kClear);

    // The same with a wrong trailer: the integrity check catches it.
    stored = Py("make " + HexArg(kPass) + " " + HexArg(utf8) + " badcrc");
    err.Empty();
    EXPECT_FALSE(
        ZorDecryptStringWithKey(Utf8ToWide(stored.c_str()), CNarrowString(kPass.c_str()), clear, err));
    EXPECT_EQ(err, u"cannot decrypt string: integrity check failed");
}

TEST_F(Crypt, DecryptErrorsNameTheirCause) {
    CNarrowString pass(kPass.c_str());
    auto fails = [&](const CWideString& stored, const char16_t* cause) {
        CWideString clear = u"unchanged", err = u"earlier; ";
        EXPECT_FALSE(ZorDecryptStringWithKey(stored, pass, clear, err)) << stored;
        EXPECT_TRUE(err.StartsWith(u"earlier; cannot decrypt string: ")) << err;
        EXPECT_NE(err.Find(cause), -1) << err;
        EXPECT_EQ(clear, u"unchanged");
    };
    fails(u"plain password", u"unknown encrypted string format");
    fails(u"E2:U2FsdGVkX18=", u"unknown encrypted string format");
    fails(u"E1:abc", u"bad Base64");
    fails(u"E1:ab!d", u"bad Base64");
    fails(u"E1:QQ==QQ==", u"bad Base64");
    fails(u"E1:\u00e9abc", u"bad Base64");
    fails(CWideString(u"E1:") + CWideString(Base64EncodeText("not salted, 16 bytes long.......")),
          u"unknown encrypted string format (no salt header)");
    fails(CWideString(u"E1:") + CWideString(Base64EncodeText("Salted__12345678abc")),
          u"unknown encrypted string format (cipher text of 3 bytes");

    // A wrong key: the padding check or the integrity check refuses it.
    CWideString stored, err;
    ASSERT_TRUE(ZorEncryptStringWithKey(kClear, pass, stored, err));
    CWideString clear = u"unchanged";
    EXPECT_FALSE(ZorDecryptStringWithKey(stored, "another key", clear, err));
    EXPECT_TRUE(err.Find(u"decryption failed (wrong key or damaged data)") >= 0 ||
                err.Find(u"integrity check failed") >= 0)
        << err;

    // Valid padding but a payload too short for the trailer.
    CNarrowString blob;
    const uint8_t salt[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    ASSERT_TRUE(ZorAesEncryptSalted("ab", pass, blob, err, salt));
    fails(CWideString(u"E1:") + CWideString(Base64Encode(blob.GetString(), (size_t)blob.GetLength())),
          u"integrity check failed");
    // Integrity holds but the text is not UTF-8.
    CNarrowString bad("\xff\xfe");
    uint32_t crc = ZorCrc32(bad.GetString(), 2);
    const char trailer[4] = {(char)(crc >> 24), (char)(crc >> 16), (char)(crc >> 8), (char)crc};
    bad.Append(trailer, 4);
    ASSERT_TRUE(ZorAesEncryptSalted(bad, pass, blob, err, salt));
    fails(CWideString(u"E1:") + CWideString(Base64Encode(blob.GetString(), (size_t)blob.GetLength())),
          u"not valid UTF-8");
}

TEST_F(Crypt, EmptyStoredTextIsAnEmptyPasswordAndSaltsDiffer) {
    CWideString clear = u"x", err;
    EXPECT_TRUE(ZorDecryptStringWithKey(u"", "k", clear, err));
    EXPECT_TRUE(clear.IsEmpty());
    CWideString a, b;
    ASSERT_TRUE(ZorEncryptStringWithKey(u"same", "k", a, err));
    ASSERT_TRUE(ZorEncryptStringWithKey(u"same", "k", b, err));
    EXPECT_NE(a, b);
}

class InstallationKey : public ::testing::Test {
protected:
    wtest::TempDir m_dir;
    wtest::EnvVar m_env{"TORVANE_PROFILE_DIR", m_dir / "profile"};
    std::string KeyPath() const { return m_dir / "profile/string-encryption.key"; }
};

TEST_F(InstallationKey, MadeOnFirstUseWithMode0600AndKept) {
    CWideString stored, err;
    ASSERT_TRUE(ZorEncryptString(kClear, stored, err)) << err;
    struct stat st;
    ASSERT_EQ(stat(KeyPath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    std::string key = wtest::ReadFile(KeyPath());
    ASSERT_EQ(key.size(), 65u);
    EXPECT_EQ(key.find_first_not_of("0123456789abcdef"), 64u);

    CWideString clear;
    ASSERT_TRUE(ZorDecryptString(stored, clear, err)) << err;
    EXPECT_EQ(clear, kClear);
    EXPECT_EQ(wtest::ReadFile(KeyPath()), key);
    // The file holds the passphrase: the plain primitives decrypt with it.
    EXPECT_TRUE(ZorDecryptStringWithKey(stored, CNarrowString(key.substr(0, 64).c_str()), clear, err)) << err;

    // A different installation cannot decrypt it.
    wtest::TempDir other;
    wtest::EnvVar env("TORVANE_PROFILE_DIR", other.Path());
    err.Empty();
    EXPECT_FALSE(ZorDecryptString(stored, clear, err));
    EXPECT_TRUE(err.StartsWith(u"cannot decrypt string: ")) << err;
}

TEST_F(InstallationKey, DamagedKeyFileIsAnErrorAndIsKept) {
    CNarrowString pass;
    CWideString err;
    ASSERT_TRUE(ZorGetInstallationKey(pass, err)) << err;
    for (const std::string& bad : {std::string(""), wtest::ReadFile(KeyPath()).substr(0, 40),
                                   std::string(64, 'G') + "\n", wtest::ReadFile(KeyPath()) + "x"}) {
        wtest::WriteFile(KeyPath(), bad);
        CWideString stored;
        err.Empty();
        EXPECT_FALSE(ZorEncryptString(u"pw", stored, err));
        EXPECT_NE(err.Find(u"is damaged"), -1) << err;
        EXPECT_EQ(wtest::ReadFile(KeyPath()), bad);
    }
}

// Processes starting at once all end up with the one key.
TEST_F(InstallationKey, ConcurrentFirstUseAgreesOnOneKey) {
    const int kProcs = 6;
    int go[2], res[2];
    ASSERT_EQ(pipe(go), 0);
    ASSERT_EQ(pipe(res), 0);
    std::vector<pid_t> kids;
    for (int i = 0; i < kProcs; ++i) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            close(go[1]);
            char c;
            (void)!read(go[0], &c, 1);
            CNarrowString pass;
            CWideString err;
            std::string line = ZorGetInstallationKey(pass, err) ? std::string(pass.GetString()) : "ERROR";
            line += "\n";
            (void)!write(res[1], line.data(), line.size()); // short lines: atomic pipe writes
            _exit(0);
        }
        kids.push_back(pid);
    }
    close(go[0]);
    close(go[1]);
    close(res[1]);
    for (pid_t pid : kids) waitpid(pid, nullptr, 0);
    std::string all;
    char buf[1024];
    ssize_t n;
    while ((n = read(res[0], buf, sizeof buf)) > 0) all.append(buf, (size_t)n);
    close(res[0]);
    std::string expect;
    std::string key = wtest::ReadFile(KeyPath());
    for (int i = 0; i < kProcs; ++i) expect += key;
    EXPECT_EQ(all, expect);
    // No temporary files are left behind.
    EXPECT_EQ(wtest::Run("ls -A " + wtest::Quote(m_dir / "profile")), "string-encryption.key\n");
}

TEST(CryptUnprotect, IsNotAvailable) {
    CNarrowString data = "x";
    CWideString err;
    EXPECT_FALSE(ZorCryptUnprotectData("blob", data, err));
    EXPECT_EQ(err, u"CryptUnprotectData: not available on this platform");
    EXPECT_TRUE(data.IsEmpty());
}

} // namespace
