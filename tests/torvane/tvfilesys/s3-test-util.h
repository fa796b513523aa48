// Helpers of the S3 back-end tests: a progress callback that records its
// notices, and reading the reply fixtures.
#pragma once

#include "TvFsRecords.h"
#include "zor-file.h"
#include "zor-unicode.h"

#include <mutex>
#include <string>
#include <vector>

class S3NoticeRecorder : public ICopyProgress {
public:
    std::vector<std::pair<int, std::string>> m_notices;
    int m_nReports = 0;
    int m_nStopAfterReports = -1; // answer "stop" at this report (counting from 1)
    std::mutex m_lock;

    bool OnProgress(bool, int64_t, int64_t, int& errKind, CWideString& err) override {
        std::lock_guard<std::mutex> g(m_lock);
        if (++m_nReports == m_nStopAfterReports) {
            SetStoppedByUser(errKind, err);
            return false;
        }
        return true;
    }
    void OnMessage(int level, const CWideString& text) override {
        std::lock_guard<std::mutex> g(m_lock);
        m_notices.emplace_back(level, std::string(WideToUtf8(text).GetString()));
    }
    int CountContaining(const std::string& part) {
        std::lock_guard<std::mutex> g(m_lock);
        int n = 0;
        for (auto& [lvl, t] : m_notices)
            if (t.find(part) != std::string::npos) n++;
        return n;
    }
};

inline std::string S3Fixture(const char* name) {
    std::string path = std::string(TV_SOURCE_DIR) + "/tests/fuzz/corpus/s3reply/" + name;
    CNarrowString body;
    CWideString err;
    int kind = 0;
    if (!ReadWholeFile(Utf8ToWide(path.c_str()), 1 << 24, body, kind, err)) return std::string();
    return std::string(body.GetString(), body.GetLength());
}
