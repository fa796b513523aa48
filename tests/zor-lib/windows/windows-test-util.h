// Small helpers of the platform-layer tests: temporary folders, environment
// variables set for one test, and running outside tools.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <ftw.h>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace wtest {

// A fresh folder under $TMPDIR (or /tmp), removed with its content at the end.
class TempDir {
public:
    TempDir() {
        const char* base = std::getenv("TMPDIR");
        std::string templ = std::string(base && *base ? base : "/tmp") + "/tvwin-XXXXXX";
        if (!mkdtemp(templ.data())) throw std::runtime_error("mkdtemp failed");
        m_path = templ;
    }
    ~TempDir() {
        nftw(
            m_path.c_str(),
            [](const char* p, const struct stat*, int, struct FTW*) {
                ::remove(p);
                return 0;
            },
            16, FTW_DEPTH | FTW_PHYS);
    }
    const std::string& Path() const { return m_path; }
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

// Sets (or with null unsets) an environment variable until the end of scope.
class EnvVar {
public:
    EnvVar(const char* name, const char* value) : m_name(name) {
        const char* old = std::getenv(name);
        m_bHad = old != nullptr;
        if (old) m_old = old;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    EnvVar(const char* name, const std::string& value) : EnvVar(name, value.c_str()) {}
    ~EnvVar() {
        if (m_bHad)
            setenv(m_name.c_str(), m_old.c_str(), 1);
        else
            unsetenv(m_name.c_str());
    }

private:
    std::string m_name, m_old;
    bool m_bHad = false;
};

// Runs a shell command; returns its standard output, exit status in *status.
inline std::string Run(const std::string& cmd, int* status = nullptr) {
    std::string out;
    FILE* f = popen(cmd.c_str(), "r");
    if (!f) {
        if (status) *status = -1;
        return out;
    }
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    int st = pclose(f);
    if (status) *status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return out;
}

inline bool HaveTool(const char* name) {
    int st = 0;
    Run(std::string("command -v ") + name + " >/dev/null 2>&1", &st);
    return st == 0;
}

inline std::string ReadFile(const std::string& path) {
    std::string out;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    std::fclose(f);
    return out;
}

inline void WriteFile(const std::string& path, const std::string& text) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) throw std::runtime_error("cannot write " + path);
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
}

inline std::string Quote(const std::string& s) {
    std::string r = "'";
    for (char c : s) {
        if (c == '\'')
            r += "'\\''";
        else
            r += c;
    }
    return r + "'";
}

} // namespace wtest
