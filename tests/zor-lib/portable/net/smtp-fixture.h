// The SMTP server of tools/smtp-server.py for mail tests: started on
// 127.0.0.1 with a folder of its own for what it received, stopped by pid;
// and a reader of the received messages through Python's email package.
#pragma once

#include "net-test-util.h"

#include <cstdlib>
#include <sys/stat.h>

#include <map>
#include <string>
#include <vector>

namespace smtptest {

class Server {
public:
    // Extra options as tools/smtp-server.py takes them; false when the
    // server did not come up.
    bool Start(const std::vector<std::string>& options) {
        std::vector<std::string> argv = {"/usr/bin/python3", TV_SOURCE_DIR "/tools/smtp-server.py", "--out",
                                         m_dir.Path()};
        argv.insert(argv.end(), options.begin(), options.end());
        if (!m_child.Start(argv)) return false;
        for (int i = 0; i < 300 && m_child.Output(50).find('\n') == std::string::npos; ++i) {
        }
        m_port = atoi(m_child.Output().c_str());
        return m_port > 0;
    }
    void Stop() { m_child.Stop(); }
    int Port() const { return m_port; }
    std::string Path(const std::string& name) const { return m_dir / name; }
    std::string Raw(int conn = 1) const { return ntest::ReadFile(m_dir / ("conn-" + std::to_string(conn) + ".raw")); }
    // Proxy variables of the environment never reach the code under test.
    static void ClearProxyEnvironment() {
        for (const char* v : {"http_proxy", "https_proxy", "no_proxy", "HTTP_PROXY", "HTTPS_PROXY", "NO_PROXY"})
            unsetenv(v);
    }
    bool HasMessage(int n = 1) const { return access(Path("msg-" + std::to_string(n) + ".eml").c_str(), F_OK) == 0; }

private:
    ntest::TempDir m_dir;
    ntest::Child m_child;
    int m_port = 0;
};

// One received message as Python's email package reads it: header values
// decoded ("subject", "from", "to", "content-type"), and its leaf parts,
// each with its content type, file name and decoded bytes.
struct Parsed {
    std::map<std::string, std::string> headers;
    struct Part {
        std::string type, filename, bytes;
    };
    std::vector<Part> parts;
};

inline bool ParseMessage(const std::string& emlPath, Parsed& out) {
    ntest::TempDir work;
    const std::string script = work / "parse.py";
    ntest::WriteFile(script, R"PY(
import email, email.header, email.policy, sys, os
msg = email.message_from_bytes(open(sys.argv[1], 'rb').read(), policy=email.policy.default)
out = sys.argv[2]
with open(os.path.join(out, 'headers'), 'w', encoding='utf-8') as f:
    for h in ('subject', 'from', 'to', 'content-type', 'mime-version', 'date'):
        f.write('%s\t%s\n' % (h, str(msg.get(h, ''))))
n = 0
for part in msg.walk():
    if part.is_multipart():
        continue
    n += 1
    with open(os.path.join(out, 'part-%d.bin' % n), 'wb') as f:
        f.write(part.get_payload(decode=True))
    with open(os.path.join(out, 'part-%d.meta' % n), 'w', encoding='utf-8') as f:
        f.write('%s\t%s\n' % (part.get_content_type(), part.get_filename() or ''))
)PY");
    if (!ntest::Shell("/usr/bin/python3 '" + script + "' '" + emlPath + "' '" + work.Path() + "'")) return false;
    std::string headers = ntest::ReadFile(work / "headers");
    size_t pos = 0;
    while (pos < headers.size()) {
        size_t e = headers.find('\n', pos);
        if (e == std::string::npos) e = headers.size();
        const std::string line = headers.substr(pos, e - pos);
        const size_t tab = line.find('\t');
        if (tab != std::string::npos) out.headers[line.substr(0, tab)] = line.substr(tab + 1);
        pos = e + 1;
    }
    for (int i = 1;; ++i) {
        const std::string meta = ntest::ReadFile(work / ("part-" + std::to_string(i) + ".meta"));
        if (meta.empty()) break;
        const size_t tab = meta.find('\t');
        Parsed::Part p;
        p.type = meta.substr(0, tab);
        p.filename = meta.substr(tab + 1, meta.size() - tab - 2);
        p.bytes = ntest::ReadFile(work / ("part-" + std::to_string(i) + ".bin"));
        out.parts.push_back(p);
    }
    return true;
}

// True when the bytes hold an LF without a CR before it.
inline bool HasBareLf(const std::string& s) {
    for (size_t i = 0; i < s.size(); ++i)
        if (s[i] == '\n' && (i == 0 || s[i - 1] != '\r')) return true;
    return false;
}

} // namespace smtptest
