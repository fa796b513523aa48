// A file system for engine tests: the local file system over a real folder,
// with programmable capability answers and injectable failures.
//
// Every CFakeFs shares a CFakeFsPlan (a shared pointer), which outlives the
// file-system objects: the job deletes its file systems after a run, and
// workers make their own through the prototype registry. The plan holds
//   - capability overrides (GetCapability answers),
//   - failures per operation name ("Connect", "ListDir", "GetInfo", "IsFolder",
//     "MakeFolder", "UploadFile", "DownloadFile", "DeleteFile", "MoveFile",
//     "SetFileModTime", "GetFileModTime", "GetFreeDiskSpace"): after a number
//     of further successful calls, fail a number of times with an error kind
//     and text, optionally dropping the connection (a disconnect), or kill
//     the process there (SIGKILL: a crash at that very point),
//   - call counters per operation and the number of connects,
//   - a skew added to modification times read back (a file system that
//     does not keep the times it is given).
//
// Use it either by placing it as a job's side file system
// (job.m_apFs[side].reset(new CFakeFs(plan))) with a local path as the side
// folder, or through URLs "fakefs:///local/path" after registering the
// prototype with CFakeFsRegistration.
#pragma once

#include "WinFileSys.h"
#include "zor-unicode.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct CFakeFsPlan {
    struct Failure {
        std::string op;
        int nFirst = 0; // the call (0-based count of calls of op) that fails first
        int nTimes = 1; // failures to give (then the operation works again)
        int nKind = FSE_CONN_LOST;
        CWideString text;
        bool bDisconnect = true; // the failure drops the connection
        bool bKill = false;      // the process is killed instead
    };

    mutable std::mutex lock;
    std::map<int, int> caps;
    std::vector<Failure> failures;
    std::map<std::string, int> calls;
    int nConnects = 0;
    uint32_t nModTimeSkew = 0;
    // GetInfo of a path ending with hidePath answers "not found" this many
    // more times (a back-end that lists a new file late).
    std::string hidePath;
    int nHideTimes = 0;
    // When not negative, the free bytes that GetFreeDiskSpace reports.
    int64_t nFreeBytes = -1;
    // Folders tell their modification time as their creation time (a file
    // system without birth times): a test sets both, the clock never.
    bool bFolderBirthIsModTime = false;

    void SetCap(int id, int answer) {
        std::lock_guard<std::mutex> g(lock);
        caps[id] = answer;
    }
    // The operation fails nTimes after nAfterCalls successful calls.
    // nAfterCalls counts from now, or from the end of a failure of the same
    // operation that is still planned.
    void Fail(const std::string& op, int nKind, const CWideString& text, int nAfterCalls = 0, int nTimes = 1,
              bool bDisconnect = false) {
        std::lock_guard<std::mutex> g(lock);
        int nFrom = calls[op];
        for (const Failure& f : failures)
            if (f.op == op) nFrom = std::max(nFrom, f.nFirst + f.nTimes);
        failures.push_back({op, nFrom + nAfterCalls, nTimes, nKind, text, bDisconnect});
    }
    // The process dies (SIGKILL) at the call of op after nAfterCalls more.
    void KillAt(const std::string& op, int nAfterCalls = 0) {
        std::lock_guard<std::mutex> g(lock);
        failures.push_back({op, calls[op] + nAfterCalls, 1, 0, CWideString(), false, true});
    }
    // A lost connection (kind 3) in the operation.
    void Disconnect(const std::string& op, int nAfterCalls = 0, int nTimes = 1) {
        Fail(op, FSE_CONN_LOST, u"connection reset by peer", nAfterCalls, nTimes, true);
    }
    int Calls(const std::string& op) const {
        std::lock_guard<std::mutex> g(lock);
        auto it = calls.find(op);
        return it == calls.end() ? 0 : it->second;
    }
    int Connects() const {
        std::lock_guard<std::mutex> g(lock);
        return nConnects;
    }
};

class CFakeFs : public WinFileSys {
public:
    explicit CFakeFs(std::shared_ptr<CFakeFsPlan> plan) : m_plan(std::move(plan)) {}

    static constexpr const char16_t* kScheme = u"fakefs://";

    TvFileSys* NewInstance() const override { return new CFakeFs(m_plan); }
    // "fakefs://" URLs, and local folders when placed as a job's side directly.
    bool AcceptsUrl(const CWideString& url) const override {
        return url.StartsWithNoCase(kScheme) || WinFileSys::AcceptsUrl(url);
    }
    int GetCapability(int id) const override {
        {
            std::lock_guard<std::mutex> g(m_plan->lock);
            auto it = m_plan->caps.find(id);
            if (it != m_plan->caps.end()) return it->second;
        }
        return WinFileSys::GetCapability(id);
    }
    CWideString GetTypeInfo(int item) const override {
        if (item == TVFS_TI_NAME) return u"Test File System";
        if (item == TVFS_TI_SCHEME) return kScheme;
        if (item == TVFS_TI_DISPLAY_NAME)
            return IsConnected() ? CWideString(u"Test: ") + m_sRootDir : CWideString(u"Disconnected");
        return WinFileSys::GetTypeInfo(item);
    }

    bool Connect(const TvConnectInfo& ci, ICopyProgress* p, int& k, CWideString& e) override {
        if (!Hit("Connect", k, e)) return false;
        {
            std::lock_guard<std::mutex> g(m_plan->lock);
            m_plan->nConnects++;
        }
        return WinFileSys::Connect(ci, p, k, e);
    }
    bool ListDir(const CWideString& path, CListT<FsItemInfo>& items, int& k, CWideString& e) override {
        if (!Hit("ListDir", k, e) || !WinFileSys::ListDir(path, items, k, e)) return false;
        for (ZorPosition pos = items.GetHeadPosition(); pos;) BirthOf(items.GetNext(pos));
        return true;
    }
    bool GetInfo(const CWideString& path, FsItemInfo& info, bool& bNotFound, int& k,
                 CWideString& e) override {
        if (!Hit("GetInfo", k, e)) return false;
        {
            std::lock_guard<std::mutex> g(m_plan->lock);
            const std::string p = WideToUtf8(path).GetString();
            const std::string& h = m_plan->hidePath;
            if (m_plan->nHideTimes > 0 && !h.empty() && p.size() >= h.size() &&
                p.compare(p.size() - h.size(), h.size(), h) == 0) {
                m_plan->nHideTimes--;
                bNotFound = true;
                return true;
            }
        }
        if (!WinFileSys::GetInfo(path, info, bNotFound, k, e)) return false;
        BirthOf(info);
        return true;
    }
    bool IsFolder(const CWideString& path, bool& bExists, int& k, CWideString& e) override {
        return Hit("IsFolder", k, e) && WinFileSys::IsFolder(path, bExists, k, e);
    }
    bool MakeFolder(const CWideString& path, int& k, CWideString& e) override {
        return Hit("MakeFolder", k, e) && WinFileSys::MakeFolder(path, k, e);
    }
    bool UploadFile(const CWideString& local, const CWideString& path, int& k, CWideString& e) override {
        return Hit("UploadFile", k, e) && WinFileSys::UploadFile(local, path, k, e);
    }
    bool DownloadFile(const CWideString& path, const CWideString& local, int64_t& n, int& k,
                      CWideString& e) override {
        return Hit("DownloadFile", k, e) && WinFileSys::DownloadFile(path, local, n, k, e);
    }
    bool DeleteFile(const CWideString& path, int& k, CWideString& e) override {
        return Hit("DeleteFile", k, e) && WinFileSys::DeleteFile(path, k, e);
    }
    bool MoveFile(const CWideString& from, const CWideString& to, int& k, CWideString& e) override {
        return Hit("MoveFile", k, e) && WinFileSys::MoveFile(from, to, k, e);
    }
    // With capability 132 answered, a folder goes with its content in one call.
    bool DeleteFolder(const CWideString& path, int& k, CWideString& e) override {
        if (!Hit("DeleteFolder", k, e)) return false;
        if (!GetCapability(TVFS_CAP_DELETE_TREE)) return WinFileSys::DeleteFolder(path, k, e);
        CNarrowString native;
        if (!NativePath(path, native, k, e)) return false;
        std::error_code ec;
        std::filesystem::remove_all(native.GetString(), ec);
        return true;
    }
    bool LinkFile(const CWideString& from, const CWideString& to, bool& bExists, int& k, CWideString& e) override {
        bExists = false;
        return Hit("LinkFile", k, e) && WinFileSys::LinkFile(from, to, bExists, k, e);
    }
    // Counted (and failed) as "MoveFile": it is the same rename, never replacing.
    bool MoveFileNoReplace(const CWideString& from, const CWideString& to, int& k, CWideString& e) override {
        return Hit("MoveFile", k, e) && WinFileSys::MoveFileNoReplace(from, to, k, e);
    }
    bool SetFileModTime(const CWideString& path, uint32_t m, uint32_t c, int& k, CWideString& e) override {
        return Hit("SetFileModTime", k, e) && WinFileSys::SetFileModTime(path, m, c, k, e);
    }
    bool GetFileModTime(const CWideString& path, uint32_t& m, uint32_t& c, int& k, CWideString& e) override {
        if (!Hit("GetFileModTime", k, e) || !WinFileSys::GetFileModTime(path, m, c, k, e)) return false;
        std::lock_guard<std::mutex> g(m_plan->lock);
        m += m_plan->nModTimeSkew;
        return true;
    }
    bool GetFreeDiskSpace(const CWideString& path, int64_t& a, int64_t& b, int64_t& c, int& k,
                          CWideString& e) override {
        if (!Hit("GetFreeDiskSpace", k, e) || !WinFileSys::GetFreeDiskSpace(path, a, b, c, k, e))
            return false;
        std::lock_guard<std::mutex> g(m_plan->lock);
        if (m_plan->nFreeBytes >= 0) a = b = m_plan->nFreeBytes;
        return true;
    }

    const std::shared_ptr<CFakeFsPlan>& Plan() const { return m_plan; }

protected:
    bool ResolveRoot(const CWideString& url, CWideString& localRoot, int& k, CWideString& e) override {
        CWideString rest;
        if (url.StartsWithTailNoCase(kScheme, rest)) return WinFileSys::ResolveRoot(rest, localRoot, k, e);
        return WinFileSys::ResolveRoot(url, localRoot, k, e);
    }

private:
    void BirthOf(FsItemInfo& info) const {
        std::lock_guard<std::mutex> g(m_plan->lock);
        if (m_plan->bFolderBirthIsModTime && info.IsFolder()) info.m_nCreateTime = info.m_nModTime;
    }
    // Counts the call; false (with the planned kind and text) when a failure is due.
    bool Hit(const char* op, int& k, CWideString& e) {
        std::lock_guard<std::mutex> g(m_plan->lock);
        const int n = m_plan->calls[op]++;
        for (const CFakeFsPlan::Failure& f : m_plan->failures) {
            if (f.op == op && n >= f.nFirst && n < f.nFirst + f.nTimes) {
                if (f.bKill) kill(getpid(), SIGKILL);
                k = f.nKind;
                e += f.text;
                if (f.bDisconnect) m_bConnected = false;
                return false;
            }
        }
        return true;
    }

    std::shared_ptr<CFakeFsPlan> m_plan;
};

// Registers a CFakeFs prototype for "fakefs://" URLs for the lifetime of the object.
class CFakeFsRegistration {
public:
    explicit CFakeFsRegistration(std::shared_ptr<CFakeFsPlan> plan) {
        auto proto = std::make_unique<CFakeFs>(std::move(plan));
        m_pProto = proto.get();
        RegisterFsPrototype(std::move(proto));
    }
    ~CFakeFsRegistration() { UnregisterFsPrototype(m_pProto); }
    CFakeFsRegistration(const CFakeFsRegistration&) = delete;
    CFakeFsRegistration& operator=(const CFakeFsRegistration&) = delete;

private:
    const TvFileSys* m_pProto;
};
