// A job progress sink for engine tests: records every message line, notice,
// progress line, item-count report and item change that a job sends, so that
// tests can check exactly what a user would have been shown.
#pragma once

#include "sync-progress.h"
#include "zor-string.h"
#include "zor-unicode.h"

#include <mutex>
#include <string>
#include <vector>

class CRecordingSink : public CbJobProgress {
public:
    struct Line {
        int level;
        CWideString text;
        int mode;
    };
    struct Notice {
        int level;
        CWideString text;
    };
    struct Progress {
        int percent;
        CWideString text;
        // The part before U+0001 (the item) and the part after it.
        CWideString ItemPart() const {
            int i = text.Find(kProgressPartSep);
            return i < 0 ? text : text.Left(i);
        }
        CWideString StatusPart() const {
            int i = text.Find(kProgressPartSep);
            return i < 0 ? CWideString() : text.Mid(i + 1);
        }
    };
    struct Counts {
        uint32_t processed;
        uint32_t all;
        int64_t avgSpeed;
    };

    void OnMessageLine(int level, const CWideString& text, int mode) override {
        std::lock_guard<std::mutex> g(m_recLock);
        m_lines.push_back({level, text, mode});
    }
    void OnNotice(int level, const CWideString& text) override {
        std::lock_guard<std::mutex> g(m_recLock);
        m_notices.push_back({level, text});
    }
    void OnShowProgress(int percent, const CWideString& text) override {
        std::lock_guard<std::mutex> g(m_recLock);
        m_progress.push_back({percent, text});
    }
    void OnItemCounts(uint32_t nProcessed, uint32_t nAll, int64_t nAvgSpeed, void*) override {
        std::lock_guard<std::mutex> g(m_recLock);
        m_counts.push_back({nProcessed, nAll, nAvgSpeed});
    }
    bool HasItemChanged(const CWideString& path) override {
        std::lock_guard<std::mutex> g(m_recLock);
        return !m_sChangedPath.IsEmpty() && path == m_sChangedPath;
    }
    void OnItemChanged(CSyncNode* pNode) override {
        std::lock_guard<std::mutex> g(m_recLock);
        m_changed.push_back(pNode);
    }

    // The path for which HasItemChanged answers true (empty: none).
    void SetChangedPath(const CWideString& path) {
        std::lock_guard<std::mutex> g(m_recLock);
        m_sChangedPath = path;
    }
    void ClearRecords() {
        std::lock_guard<std::mutex> g(m_recLock);
        m_lines.clear();
        m_notices.clear();
        m_progress.clear();
        m_counts.clear();
        m_changed.clear();
    }

    // Copies, taken under the recorder's lock.
    std::vector<Line> Lines() const {
        std::lock_guard<std::mutex> g(m_recLock);
        return m_lines;
    }
    std::vector<Notice> Notices() const {
        std::lock_guard<std::mutex> g(m_recLock);
        return m_notices;
    }
    std::vector<Progress> ProgressLines() const {
        std::lock_guard<std::mutex> g(m_recLock);
        return m_progress;
    }
    std::vector<Counts> ItemCounts() const {
        std::lock_guard<std::mutex> g(m_recLock);
        return m_counts;
    }
    std::vector<CSyncNode*> ChangedItems() const {
        std::lock_guard<std::mutex> g(m_recLock);
        return m_changed;
    }
    // All line texts joined (UTF-8), for readable failure messages.
    std::string Dump() const {
        std::lock_guard<std::mutex> g(m_recLock);
        std::string s;
        for (const Line& l : m_lines) {
            s += std::to_string(l.level) + "/" + std::to_string(l.mode) + ": ";
            s += WideToUtf8(l.text).GetString();
        }
        return s;
    }

private:
    mutable std::mutex m_recLock;
    std::vector<Line> m_lines;
    std::vector<Notice> m_notices;
    std::vector<Progress> m_progress;
    std::vector<Counts> m_counts;
    std::vector<CSyncNode*> m_changed;
    CWideString m_sChangedPath;
};
