// TLS client sessions on OpenSSL 3.
#include "zor-ssl.h"

#include "zor-file.h"
#include "zor-path.h"
#include "zor-socket.h"
#include "zor-unicode.h"

#include <arpa/inet.h>
#include <mutex>

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

namespace {

std::mutex g_setupLock;
SSL_CTX* g_pCtx = nullptr;
CWideString g_sRootsFile;     // set by SetSslRootsFile; empty: the default choice
CWideString g_sSetupMessage;  // what the last set-up said about the roots

int NoPassword(char*, int, int, void*) {
    return 0; // encrypted keys are not supported: never prompt on a terminal
}

ZorSocket* SocketOf(SSL* ssl) {
    return ssl ? (ZorSocket*)SSL_get_app_data(ssl) : nullptr;
}

// Records the first certificate-chain fault of the handshake and lets the
// handshake go on: the decision is taken afterwards, so that a session that
// skips the server check still connects. A missing revocation list is no
// fault (most issuers' lists are not at hand).
int VerifyCallback(int ok, X509_STORE_CTX* ctx) {
    if (ok) return 1;
    int e = X509_STORE_CTX_get_error(ctx);
    if (e == X509_V_ERR_UNABLE_TO_GET_CRL) return 1;
    SSL* ssl = (SSL*)X509_STORE_CTX_get_ex_data(ctx, SSL_get_ex_data_X509_STORE_CTX_idx());
    ZorSocket* s = SocketOf(ssl);
    if (s && s->m_nFirstVerifyError == 0) s->m_nFirstVerifyError = e;
    return 1;
}

// The verification callback of another stack's context: the same tolerance
// of a missing revocation list, every other fault left as it was found.
int RevocationOnlyCallback(int ok, X509_STORE_CTX* ctx) {
    if (!ok && X509_STORE_CTX_get_error(ctx) == X509_V_ERR_UNABLE_TO_GET_CRL) {
        // any earlier fault would have ended the check: the chain is sound
        X509_STORE_CTX_set_error(ctx, X509_V_OK);
        return 1;
    }
    return ok;
}

// Called when the server asks for a client certificate.
int CertCallback(SSL* ssl, void*) {
    if (ZorSocket* s = SocketOf(ssl)) s->m_bCertRequested = 1;
    return 1;
}

// Loads every certificate and revocation list of a PEM file into the store;
// the count added, 0 with the queue's text in err on failure.
int LoadRootsFile(X509_STORE* store, const CWideString& path, CWideString& err) {
    CNarrowString data;
    int kind = 0;
    if (!ReadWholeFile(path, 64 << 20, data, kind, err)) return 0;
    BIO* bio = BIO_new_mem_buf(data.GetString(), data.GetLength());
    if (!bio) {
        err = u"memory allocation failed";
        return 0;
    }
    ERR_clear_error();
    STACK_OF(X509_INFO)* infos = PEM_X509_INFO_read_bio(bio, nullptr, NoPassword, nullptr);
    BIO_free(bio);
    if (!infos) {
        err = SslErrorQueueText(false);
        if (err.IsEmpty()) err = u"no certificates";
        return 0;
    }
    int count = 0;
    for (int i = 0; i < sk_X509_INFO_num(infos); ++i) {
        X509_INFO* it = sk_X509_INFO_value(infos, i);
        if (it->x509 && X509_STORE_add_cert(store, it->x509)) ++count;
        if (it->crl && X509_STORE_add_crl(store, it->crl)) ++count;
    }
    sk_X509_INFO_pop_free(infos, X509_INFO_free);
    if (count == 0) {
        err = SslErrorQueueText(false);
        if (err.IsEmpty()) err = u"no certificates";
    }
    return count;
}

// Reads a whole client certificate or key file into a memory BIO.
BIO* ReadFileBio(const CWideString& file, CNarrowString& data, int& kind, CWideString& err) {
    uint64_t size = 0;
    if (!ZorGetFileSizeByName(file, size, kind, err)) {
        kind = FSE_GENERAL;
        return nullptr;
    }
    if (size > (uint64_t)kSslMaxCertFileBytes) {
        err.Format(u"certificate or key file too large (over %d bytes): %s", kSslMaxCertFileBytes, file);
        kind = FSE_GENERAL;
        return nullptr;
    }
    if (!ReadWholeFile(file, kSslMaxCertFileBytes, data, kind, err)) {
        kind = FSE_GENERAL;
        return nullptr;
    }
    BIO* bio = BIO_new_mem_buf(data.GetString(), data.GetLength());
    if (!bio) {
        err = u"memory allocation failed";
        kind = FSE_GENERAL;
    }
    return bio;
}

bool IsIpText(const CNarrowString& host, bool& bV6) {
    unsigned char buf[16];
    bV6 = false;
    if (inet_pton(AF_INET, host.GetString(), buf) == 1) return true;
    CNarrowString h(host);
    if (h.StartsWith("[") && h.EndsWith("]")) h = h.Mid(1, h.GetLength() - 2);
    if (inet_pton(AF_INET6, h.GetString(), buf) == 1) {
        bV6 = true;
        return true;
    }
    return false;
}

// The name a mismatch message quotes: the first DNS name, else the CN.
CWideString CertificateName(X509* cert) {
    GENERAL_NAMES* names = (GENERAL_NAMES*)X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr);
    CWideString r;
    if (names) {
        for (int i = 0; i < sk_GENERAL_NAME_num(names); ++i) {
            GENERAL_NAME* g = sk_GENERAL_NAME_value(names, i);
            if (g->type == GEN_DNS) {
                const ASN1_STRING* s = g->d.dNSName;
                r = Utf8ToWide((const char*)ASN1_STRING_get0_data(s), ASN1_STRING_length(s));
                break;
            }
        }
        GENERAL_NAMES_free(names);
    }
    if (r.IsEmpty()) {
        char cn[257] = {};
        if (X509_NAME_get_text_by_NID(X509_get_subject_name(cert), NID_commonName, cn, sizeof cn) > 0)
            r = Utf8ToWide(cn);
    }
    return r;
}

} // namespace

// ---------------------------------------------------------------- errors
CWideString SslErrorText(bool bWithLocation) {
    const char* file = nullptr;
    const char* data = nullptr;
    int line = 0, flags = 0;
    unsigned long code = ERR_get_error_all(&file, &line, nullptr, &data, &flags);
    CWideString r;
    if (code == 0) return r;
    char buf[1024];
    ERR_error_string_n(code, buf, sizeof buf);
    if (bWithLocation) r.Format(u"%s(%d): ", file ? file : "", line);
    r.AppendFormat(u"%s[%x]", buf, (unsigned)code);
    if (data && *data && (flags & ERR_TXT_STRING)) r.AppendFormat(u" (%s)", data);
    return r;
}

CWideString SslErrorQueueText(bool bWithLocation) {
    CWideString r;
    for (int i = 0; i < 64; ++i) {
        CWideString t = SslErrorText(bWithLocation);
        if (t.IsEmpty()) break;
        r += t;
        r += u'\n';
    }
    ERR_clear_error();
    return r;
}

// ---------------------------------------------------------------- set-up
void SetSslRootsFile(const CWideString& path) {
    std::lock_guard<std::mutex> g(g_setupLock);
    g_sRootsFile = path;
    if (g_pCtx) SSL_CTX_free(g_pCtx); // open sessions hold their own reference
    g_pCtx = nullptr;
}

CWideString GetSslRootsFile() {
    std::lock_guard<std::mutex> g(g_setupLock);
    return g_sRootsFile;
}

void GetSslRootsLocations(CNarrowString& file, CNarrowString& dir) {
    file.Empty();
    dir.Empty();
    CWideString path = GetSslRootsFile();
    if (path.IsEmpty()) {
        CWideString beside = GetProcessExeFolder() + u"/cacert.pem";
        if (ZorFileExists(beside)) path = beside;
    }
    if (!path.IsEmpty()) {
        file = WideToUtf8(path);
        return;
    }
    const char* f = getenv(X509_get_default_cert_file_env());
    const char* d = getenv(X509_get_default_cert_dir_env());
    file = f && *f ? f : X509_get_default_cert_file();
    dir = d && *d ? d : X509_get_default_cert_dir();
}

void SslApplyRevocationChecks(void* pSslCtx) {
    SSL_CTX* ctx = (SSL_CTX*)pSslCtx;
    X509_STORE_set_flags(SSL_CTX_get_cert_store(ctx), X509_V_FLAG_CRL_CHECK);
    SSL_CTX_set_verify(ctx, SSL_CTX_get_verify_mode(ctx), RevocationOnlyCallback);
}

CWideString GetSslSetupMessage() {
    std::lock_guard<std::mutex> g(g_setupLock);
    return g_sSetupMessage;
}

bool InitSslLibrary(ICopyProgress* pProgress, int& kind, CWideString& err) {
    std::lock_guard<std::mutex> g(g_setupLock);
    if (g_pCtx) {
        err = u"SSL Library already initialized";
        return true;
    }
    OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
    RAND_poll();
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    if (!ctx) {
        err = u"SSL: Not enough memory for context";
        kind = FSE_NO_MEMORY;
        return false;
    }
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    // A peer that closes without close_notify reads as the end of the data.
    SSL_CTX_set_options(ctx, SSL_OP_IGNORE_UNEXPECTED_EOF);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, VerifyCallback);
    SSL_CTX_set_cert_cb(ctx, CertCallback, nullptr);
    X509_STORE* store = SSL_CTX_get_cert_store(ctx);
    X509_STORE_set_flags(store, X509_V_FLAG_CRL_CHECK);

    g_sSetupMessage.Empty();
    CWideString path = g_sRootsFile;
    if (path.IsEmpty()) {
        CWideString beside = GetProcessExeFolder() + u"/cacert.pem";
        if (ZorFileExists(beside)) path = beside;
    }
    if (!path.IsEmpty()) {
        CWideString why;
        if (LoadRootsFile(store, path, why) == 0) {
            g_sSetupMessage.Format(u"SSL: Cannot load trusted root certificates from '%s': %s", path, why);
            err = g_sSetupMessage;
            if (pProgress) pProgress->OnMessage(2, g_sSetupMessage);
        }
    } else if (SSL_CTX_set_default_verify_paths(ctx) != 1) {
        g_sSetupMessage.Format(u"SSL: Cannot load trusted root certificates from '%s': %s", "system store",
                               SslErrorQueueText(false));
        err = g_sSetupMessage;
        if (pProgress) pProgress->OnMessage(2, g_sSetupMessage);
    }
    ERR_clear_error();
    g_pCtx = ctx;
    return true;
}

// ---------------------------------------------------------------- files
bool UseClientCertificateFile(SSL* pSsl, const CWideString& file, int type, int& kind, CWideString& err) {
    CNarrowString data;
    BIO* bio = ReadFileBio(file, data, kind, err);
    if (!bio) return false;
    X509* cert = nullptr;
    bool ok = false;
    if (type == ZSSL_FILETYPE_ASN1) {
        cert = d2i_X509_bio(bio, nullptr);
        if (!cert) err = u"Failed to parse ASN1 certificate";
    } else if (type == ZSSL_FILETYPE_PEM) {
        cert = PEM_read_bio_X509(bio, nullptr, NoPassword, nullptr);
        if (!cert) err = u"Failed to parse PEM certificate";
    } else {
        err = u"Bad certificate file type";
    }
    if (cert) {
        if (SSL_use_certificate(pSsl, cert) < 1) err = u"SSL_use_certificate() failed";
        else ok = true;
        X509_free(cert);
    }
    BIO_free(bio);
    if (!ok) kind = FSE_GENERAL;
    return ok;
}

bool UseRsaKeyFile(SSL* pSsl, const CWideString& file, int type, int& kind, CWideString& err) {
    CNarrowString data;
    BIO* bio = ReadFileBio(file, data, kind, err);
    if (!bio) return false;
    EVP_PKEY* key = nullptr;
    bool ok = false;
    if (type == ZSSL_FILETYPE_ASN1) {
        key = d2i_PrivateKey_bio(bio, nullptr);
        if (!key) err = u"Failed to parse RSA ASN1 key";
    } else if (type == ZSSL_FILETYPE_PEM) {
        key = PEM_read_bio_PrivateKey(bio, nullptr, NoPassword, nullptr);
        if (!key) err = u"Failed to parse RSA PEM key";
    } else {
        err = u"Bad private key file type";
    }
    if (key) {
        if (SSL_use_PrivateKey(pSsl, key) < 1) err = u"SSL_use_RSAPrivateKey() failed";
        else ok = true;
        EVP_PKEY_free(key);
    }
    BIO_free(bio);
    if (!ok) kind = FSE_GENERAL;
    return ok;
}

// ---------------------------------------------------------------- handshake
bool SslIsClientCertificateDemand(const ZorSocket& sock, int sslError) {
    return sslError == SSL_ERROR_SSL && sock.m_bCertRequested && !sock.m_bCertOffered;
}

bool StartSslOnSocket(ZorSocket& sock, const CNarrowString& host, bool bFirstAttempt, const CWideString& clientCertFile,
                      bool& bTransportFailure, int& kind, CWideString& err) {
    (void)bFirstAttempt;
    bTransportFailure = false;
    CWideString scratch; // the set-up's notes are not the caller's business
    if (!InitSslLibrary(sock.m_pProgress, kind, scratch)) {
        err = scratch;
        return false;
    }
    SSL_CTX* ctx = nullptr;
    {
        std::lock_guard<std::mutex> g(g_setupLock);
        ctx = g_pCtx;
        if (ctx) SSL_CTX_up_ref(ctx);
    }
    if (!ctx) {
        err = u"cannot start SSL session";
        kind = FSE_GENERAL;
        return false;
    }
    ERR_clear_error();
    SSL* ssl = SSL_new(ctx);
    SSL_CTX_free(ctx);
    if (!ssl) {
        err = u"cannot start SSL session";
        kind = FSE_GENERAL;
        return false;
    }
    if (sock.m_pSsl) SSL_free(sock.m_pSsl);
    sock.m_pSsl = ssl;
    sock.m_nFirstVerifyError = 0;
    sock.m_bCertRequested = sock.m_bCertOffered = 0;
    SSL_set_app_data(ssl, &sock);
    bool bV6 = false;
    if (!host.IsEmpty() && !IsIpText(host, bV6)) SSL_set_tlsext_host_name(ssl, host.GetString());

    if (!clientCertFile.IsEmpty()) {
        // The key first: a certificate set after a key that does not match
        // it drops the key, so the check below tells the mismatch.
        if (!UseRsaKeyFile(ssl, clientCertFile, ZSSL_FILETYPE_PEM, kind, err)) return false;
        if (!UseClientCertificateFile(ssl, clientCertFile, ZSSL_FILETYPE_PEM, kind, err)) return false;
        if (SSL_check_private_key(ssl) != 1) {
            ERR_clear_error();
            err = u"server private key check failed";
            kind = FSE_AUTH;
            return false;
        }
        sock.m_bCertOffered = 1;
    }
    if (SSL_set_fd(ssl, sock.m_hSocket) != 1) {
        err = u"cannot init BIO for socket";
        kind = FSE_GENERAL;
        return false;
    }
    bool bOffered = false;
    if (sock.m_pSavedSession) {
        SSL_set_session(ssl, sock.m_pSavedSession);
        SSL_SESSION_free(sock.m_pSavedSession);
        sock.m_pSavedSession = nullptr;
        bOffered = true;
    }
    (void)bOffered;
    int rc = SSL_connect(ssl);
    if (rc < 1) {
        int e = SSL_get_error(ssl, rc);
        if (SslIsClientCertificateDemand(sock, e)) {
            ERR_clear_error();
            err = u"Client certificate is required for this connection";
            kind = FSE_AUTH;
            return false;
        }
        unsigned long top = ERR_peek_error();
        bTransportFailure = e == SSL_ERROR_SYSCALL || e == SSL_ERROR_ZERO_RETURN ||
                            (e == SSL_ERROR_SSL && ERR_GET_LIB(top) == ERR_LIB_SSL &&
                             ERR_GET_REASON(top) == SSL_R_UNEXPECTED_EOF_WHILE_READING);
        CWideString t = SslErrorText(false);
        if (t.IsEmpty() && bTransportFailure) t = u"connection closed during the handshake";
        ERR_clear_error();
        err.Format(u"cannot switch to SSL mode: %s (error %d)", t, e);
        kind = FSE_NOT_FOUND;
        return false;
    }
    if (!sock.m_bSkipServerCheck && !VerifyServerCertificate(ssl, host, err)) {
        kind = FSE_AUTH;
        return false;
    }
    sock.m_bUseTls = 1;
    return true;
}

// ---------------------------------------------------------------- server check
bool VerifyServerCertificate(SSL* pSsl, const CNarrowString& host, CWideString& err) {
    ZorSocket* s = SocketOf(pSsl);
    long code = s && s->m_nFirstVerifyError ? s->m_nFirstVerifyError : SSL_get_verify_result(pSsl);
    if (code == X509_V_ERR_UNABLE_TO_GET_CRL) code = X509_V_OK;
    if (code != X509_V_OK) {
        err.Format(u"No Certificate or it does not verify (error %d): %s", (int)code,
                   X509_verify_cert_error_string(code));
        return false;
    }
    X509* cert = SSL_get1_peer_certificate(pSsl);
    if (!cert) {
        err = u"Cannot get server certificate";
        return false;
    }
    bool bV6 = false;
    int match;
    if (IsIpText(host, bV6)) {
        CNarrowString h(host);
        if (h.StartsWith("[")) h = h.Mid(1, h.GetLength() - 2);
        match = X509_check_ip_asc(cert, h.GetString(), 0);
    } else {
        match = X509_check_host(cert, host.GetString(), (size_t)host.GetLength(),
                                X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS, nullptr);
    }
    if (match != 1) {
        err.Format(u"Name in certificate '%S' doesn't match server name '%S'", CertificateName(cert), host);
        X509_free(cert);
        ERR_clear_error();
        return false;
    }
    X509_free(cert);
    return true;
}
