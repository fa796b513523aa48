// The base of the internet file systems: one set of HTTP connection
// parameters, one HTTP connection that every request of the back-end goes
// through, the parsing of a connection URL into those parameters, the
// scheme-and-host prefix of the back-end's URLs, progress relay to the
// connection, and a disconnect that returns the parameters to their defaults.
#pragma once

#include "TvFileSys.h"
#include "zor-http.h"

class TvInetFileSys : public TvFileSys {
public:
    TvInetFileSys();
    ~TvInetFileSys() override;

    void Disconnect(bool bFull) override;
    ICopyProgress* SetProgressCallback(ICopyProgress* p) override;
    bool IsConnected() const override;
    // The scheme of this object: with a secure connection and a class that
    // has a secure form of its scheme (capability 106 without 107), the
    // type-information scheme with "://" replaced by "s://".
    CWideString MakeUrl() const override;
    // The port that the back-end's URLs leave unwritten.
    virtual int GetDefaultPort() const = 0;

    // Parses the settings' URL into the connection parameters: user and
    // password (the URL's, else the settings' user id and decrypted password),
    // transport flags, scheme (plainScheme or secureScheme, case-insensitive;
    // an empty one is never accepted) with its default port, a written port,
    // the host and the target URL. outPath gets the URL's path and query with
    // one trailing separator removed (with bKeepSlash: a trailing slash unless
    // the text ends in "://").
    bool ParseConnectUrl(const TvConnectInfo& ci, const char* plainScheme, int plainPort, const char* secureScheme,
                         int securePort, bool bKeepSlash, CWideString& outPath, CWideString& err);
    // Scheme, host, and ":port" when the port is not 0 and not the default.
    CWideString MakeHostUrl() const;
    // The bytes a finished download brought into localFile (what it holds:
    // an answer without a declared length counts too); on failure the file
    // is deleted.
    static bool DownloadedLength(const CWideString& localFile, int64_t& nSize, int& errKind, CWideString& err);

    HttpConnectParams m_Params;
    ZorHttpConn m_Conn;
    uint8_t m_bReconnectAllowed = 0;
};
