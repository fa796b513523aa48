// TLS client sessions on connected ZorSockets (OpenSSL 3).
//
// One client context (TLS 1.2 and newer) is set up once per process, under a
// lock. Trusted roots (and revocation lists) come from the roots file: the
// path set with SetSslRootsFile, else "cacert.pem" beside the executable,
// else the system's certificate bundle (which honours SSL_CERT_FILE and
// SSL_CERT_DIR). Revocation is checked wherever the issuer's list is known.
#pragma once

#include "zor-net-records.h"
#include "zor-string.h"

typedef struct ssl_st SSL;
class ZorSocket;

// File types of the client certificate and key readers.
enum ZorSslFileType : int {
    ZSSL_FILETYPE_PEM = 1,
    ZSSL_FILETYPE_ASN1 = 2,
};

// Client certificate and key files larger than this are refused.
constexpr int kSslMaxCertFileBytes = 1 << 20;

// Sets the library up once. A later call puts "SSL Library already
// initialized" into err and succeeds. A roots file that fails to load does
// not fail the set-up: err then holds "SSL: Cannot load trusted root
// certificates from '%s': %s" (also given to the progress callback at level
// 2) and handshakes fail the server check.
bool InitSslLibrary(ICopyProgress* pProgress, int& kind, CWideString& err);

// The roots file for the whole process (empty: the default choice above).
// Changing it makes the next handshake set the context up again; sessions
// already open keep the old one.
void SetSslRootsFile(const CWideString& path);
CWideString GetSslRootsFile();
// The message the last set-up left about the roots (empty when they loaded).
CWideString GetSslSetupMessage();

// For another TLS stack on the same library (the libcurl transport): the
// roots the own sessions trust, as a file and a folder (either may be empty):
// the roots file, else "cacert.pem" beside the executable, else the
// system's (SSL_CERT_FILE and SSL_CERT_DIR, else the library's defaults).
void GetSslRootsLocations(CNarrowString& file, CNarrowString& dir);
// Applies the own sessions' revocation rule to a context of that stack (an
// SSL_CTX): revocation lists loaded with the roots are checked, and a
// certificate whose issuer has no list at hand is not refused for that.
void SslApplyRevocationChecks(void* pSslCtx);

// The handshake on the connected socket, with SNI for a host name. Unless the
// socket's skip-server-check is set, the server certificate and its name are
// checked. bTransportFailure tells a failure of the connection itself (the
// only kind worth another connect) from a refusal.
bool StartSslOnSocket(ZorSocket& sock, const CNarrowString& host, bool bFirstAttempt, const CWideString& clientCertFile,
                      bool& bTransportFailure, int& kind, CWideString& err);

// Checks the verification result of the session and the host name against
// the certificate (subject alternative names; the common name only when the
// certificate has no DNS names; wildcards only as a whole left-most label;
// IP literals against IP addresses). Fails with "No Certificate or it does
// not verify (error %d): %s", "Cannot get server certificate" or "Name in
// certificate '%S' doesn't match server name '%S'".
bool VerifyServerCertificate(SSL* pSsl, const CNarrowString& host, CWideString& err);

// Reads a certificate or a private key file (at most 1 MiB) and hands it to
// the session.
bool UseClientCertificateFile(SSL* pSsl, const CWideString& file, int type, int& kind, CWideString& err);
bool UseRsaKeyFile(SSL* pSsl, const CWideString& file, int type, int& kind, CWideString& err);

// The oldest entry of the calling thread's TLS error queue (removed):
// "<text>[<code hex>]", with "<file>(<line>): " before it when asked and
// " (<data>)" after it when the entry has data. Empty when the queue is empty.
CWideString SslErrorText(bool bWithLocation);
// Every queued entry, each followed by a line feed; the queue is emptied.
CWideString SslErrorQueueText(bool bWithLocation);

// True when a failed read or handshake of this socket is the server's demand
// for a client certificate that was not given.
bool SslIsClientCertificateDemand(const ZorSocket& sock, int sslError);
