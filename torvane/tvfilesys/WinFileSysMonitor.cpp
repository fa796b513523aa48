// Change monitor of the local file system over inotify.
//
// One inotify instance watches the monitored folder and every folder below
// it. Events become ChangedItem records whose paths are '/'-separated, begin
// with '/' and are relative to the monitored folder:
//   IN_CREATE -> Created (a new folder also gets watches for itself and all
//                folders already inside it; its content is listed by the
//                caller, not reported here)
//   IN_DELETE -> Deleted        IN_MODIFY -> Modified     IN_ATTRIB -> Metadata
//   IN_MOVED_FROM -> MovedFrom  IN_MOVED_TO -> MovedTo (a folder moved in gets
//                watches; a folder moved out loses them)
// A name that cannot be represented (not UTF-8, or holding '\') is reported as
// ChangeInFolder of its folder, so that the folder is listed again. A queue
// overflow, the watch limit or too many pending changes give one Unknown
// record with an empty path. Removal (or move, or unmount) of the monitored
// folder itself fails the wait. A monitored folder given as a symbolic link
// is the folder it leads to; folder links below it are followed only when
// asked (a job that enters folder links), each folder watched once.
//
// Threads: WaitForChanges runs on the monitor's thread; GetChangedItems and
// StopMonitoring may come from any other thread. All state is under one
// mutex; the blocking poll runs outside it and is woken by an eventfd.
#include "WinFileSys.h"

#include "zor-error.h"
#include "zor-path.h"
#include "zor-time.h"
#include "zor-unicode.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

constexpr uint32_t kWatchMask = IN_CREATE | IN_DELETE | IN_MODIFY | IN_ATTRIB | IN_MOVED_FROM | IN_MOVED_TO |
                                IN_DELETE_SELF | IN_MOVE_SELF | IN_DONT_FOLLOW | IN_ONLYDIR | IN_EXCL_UNLINK;
// More pending changes than this are replaced by one ChangeInFolder record
// with an empty path (the whole tree is listed again) until they are taken.
constexpr size_t kMaxPending = 10000;
constexpr int kWaitMs = 1000;

std::atomic<int> g_nWatchLimitForTest{0};

bool IsRepresentableName(const char* name) {
    return IsValidUtf8(name, (int)strlen(name)) && !strchr(name, '\\');
}

} // namespace

class WinFsMonitor {
public:
    WinFsMonitor() { m_nWake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC); }
    ~WinFsMonitor() {
        Stop();
        if (m_nWake >= 0) ::close(m_nWake);
    }

    bool Start(const CNarrowString& root, bool bFollowLinks, int& errKind, CWideString& err);
    bool Wait(int& errKind, CWideString& err);
    bool Take(CListT<ChangedItem>& items, int& errKind, CWideString& err);
    void Stop();

private:
    void CloseLocked();
    void DrainWake();
    bool DrainLocked(int& errKind, CWideString& err);
    void HandleEvent(const struct inotify_event* ev);
    // Adds watches for a folder and every folder below it.
    void AddTreeLocked(const std::string& rel, bool bLink = false);
    // A followed folder link: the entry at rel leads to a folder.
    bool IsFollowedLinkLocked(const std::string& rel) const;
    // Removes the watches of a followed link that went (its folder stays
    // elsewhere); true when it had any. Another link to the same folder is
    // then found by watching the tree again (a link moved in is followed at
    // its new path).
    bool ForgetTreeLocked(const std::string& rel);
    // The watches of a folder and every folder below it.
    std::vector<int> WatchesOfTreeLocked(const std::string& rel) const;
    void RenameTreeLocked(const std::string& from, const std::string& to);
    void QueueLocked(const std::string& rel, uint32_t kind);
    void QueueUnknownLocked();
    std::string Abs(const std::string& rel) const { return rel.empty() ? m_sRoot : m_sRoot + rel; }

    std::mutex m_lock;
    std::condition_variable m_cvIdle; // m_nWaiters dropped to 0
    int m_nWake = -1;                 // eventfd that wakes a wait (stop)
    std::atomic<bool> m_bStop{false};
    int m_nInotify = -1;
    int m_nWaiters = 0;
    bool m_bActive = false;
    bool m_bRootGone = false;
    bool m_bFollowLinks = false;
    CWideString m_sRootGone; // why the monitored folder is gone
    std::string m_sRoot;     // native, no trailing '/'
    int m_nRootWd = -1;
    dev_t m_nRootDev = 0; // the watched root folder, to tell another one put at its path
    ino_t m_nRootIno = 0;
    std::unordered_map<int, std::string> m_watches; // wd -> relative path ("" the root)
    // A folder seen leaving its place: where from, and the watches its tree
    // had then (a folder made or moved in at the same path since has others).
    struct MovedFolder {
        std::string rel;
        std::vector<int> wds;
    };
    std::unordered_map<uint32_t, MovedFolder> m_movedFolders; // by cookie
    std::vector<ChangedItem> m_pending;
    std::unordered_map<std::string, size_t> m_lastOfPath; // relative path -> index in m_pending
    bool m_bUnknownPending = false;
    bool m_bCollapsed = false; // the pending list is the one whole-tree record
};

// ------------------------------------------------------------ start and stop
bool WinFsMonitor::Start(const CNarrowString& root, bool bFollowLinks, int& errKind, CWideString& err) {
    std::unique_lock<std::mutex> g(m_lock);
    if (m_nWaiters > 0) {
        errKind = FSE_GENERAL;
        err += u"change monitoring is already running and being waited for";
        return false;
    }
    CloseLocked();
    m_pending.clear();
    m_lastOfPath.clear();
    m_movedFolders.clear();
    m_bUnknownPending = false;
    m_bCollapsed = false;
    m_bRootGone = false;
    m_sRootGone.Empty();
    m_bStop = false;
    m_bFollowLinks = bFollowLinks;
    DrainWake();

    m_sRoot.assign(root.GetString(), root.GetLength());
    while (m_sRoot.size() > 1 && m_sRoot.back() == '/') m_sRoot.pop_back();
    if (m_sRoot == "/") m_sRoot.clear(); // relative paths already begin with '/'
    std::string rootPath = m_sRoot.empty() ? std::string("/") : m_sRoot;

    m_nInotify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_nInotify < 0) {
        int e = errno;
        int kind = FSE_GENERAL;
        errKind = FSE_GENERAL;
        err += u"Cannot start change monitoring of " + ZorWidePath(rootPath.c_str()) + u": ";
        if (e == EMFILE)
            err += u"the system's limit of inotify instances is reached (fs.inotify.max_user_instances)";
        else
            err += MakeErrorMessage(e, kind);
        return false;
    }
    // The root is followed when it is a link: a job syncs the folder it leads to.
    int wd = inotify_add_watch(m_nInotify, rootPath.c_str(), kWatchMask & ~IN_DONT_FOLLOW);
    if (wd < 0) {
        int e = errno;
        int kind = FSE_GENERAL;
        CWideString text = MakeErrorMessage(e, kind, true);
        errKind = kind;
        err += u"Cannot start change monitoring of " + ZorWidePath(rootPath.c_str()) + u": ";
        if (e == ENOSPC)
            err += u"the system's limit of inotify watches is reached (fs.inotify.max_user_watches)";
        else if (e == ENOTDIR)
            err += u"not a folder";
        else
            err += text;
        ::close(m_nInotify);
        m_nInotify = -1;
        return false;
    }
    m_nRootWd = wd;
    m_nRootDev = 0;
    m_nRootIno = 0;
    struct stat st {};
    if (::stat(rootPath.c_str(), &st) == 0) {
        m_nRootDev = st.st_dev;
        m_nRootIno = st.st_ino;
    }
    m_watches[wd] = std::string();
    m_bActive = true;
    // The folders below the root.
    AddTreeLocked(std::string());
    return true;
}

void WinFsMonitor::CloseLocked() {
    if (m_nInotify >= 0) ::close(m_nInotify);
    m_nInotify = -1;
    m_nRootWd = -1;
    m_watches.clear();
    m_movedFolders.clear();
    m_bActive = false;
}

void WinFsMonitor::DrainWake() {
    if (m_nWake < 0) return;
    uint64_t v;
    while (::read(m_nWake, &v, sizeof v) == (ssize_t)sizeof v) {
    }
}

void WinFsMonitor::Stop() {
    m_bStop = true;
    if (m_nWake >= 0) {
        uint64_t one = 1;
        ssize_t n = ::write(m_nWake, &one, sizeof one);
        (void)n;
    }
    std::unique_lock<std::mutex> g(m_lock);
    // A waiter sees the eventfd at once; the inotify descriptor is closed only
    // when nobody polls it any more.
    m_cvIdle.wait(g, [this] { return m_nWaiters == 0; });
    CloseLocked();
}

// ------------------------------------------------------------ watches
bool WinFsMonitor::IsFollowedLinkLocked(const std::string& rel) const {
    struct stat st {};
    const std::string abs = Abs(rel);
    return m_bFollowLinks && ::lstat(abs.c_str(), &st) == 0 && S_ISLNK(st.st_mode) &&
           ::stat(abs.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool WinFsMonitor::ForgetTreeLocked(const std::string& rel) {
    const std::vector<int> wds = WatchesOfTreeLocked(rel);
    for (int wd : wds) {
        m_watches.erase(wd);
        inotify_rm_watch(m_nInotify, wd);
    }
    return !wds.empty();
}

void WinFsMonitor::AddTreeLocked(const std::string& rel, bool bLink) {
    std::vector<std::pair<std::string, bool>> todo{{rel, bLink}};
    int limit = g_nWatchLimitForTest.load();
    bool bFirst = true;
    while (!todo.empty()) {
        std::string dirRel = std::move(todo.back().first);
        const bool bDirLink = todo.back().second;
        todo.pop_back();
        std::string abs = Abs(dirRel);
        if (abs.empty()) abs = "/";
        // The first folder of a start is the root, watched already.
        if (!(bFirst && dirRel.empty() && m_nRootWd >= 0)) {
            int wd = -1;
            int e = 0;
            if (limit > 0 && (int)m_watches.size() >= limit) {
                e = ENOSPC;
            } else {
                wd = inotify_add_watch(m_nInotify, abs.c_str(),
                                       bDirLink ? kWatchMask & ~IN_DONT_FOLLOW : kWatchMask);
                if (wd < 0) e = errno;
            }
            if (wd < 0) {
                if (e == ENOSPC || e == ENOMEM) {
                    // The watch limit: changes below this folder would go unseen.
                    QueueUnknownLocked();
                    return;
                }
                continue; // gone again, not a folder any more, or not readable
            }
            // A folder that a followed link leads to again (a loop, or two
            // links to one folder) is watched at its first path only.
            auto known = m_watches.find(wd);
            if (bDirLink && known != m_watches.end() && known->second != dirRel) continue;
            m_watches[wd] = dirRel;
            // A folder moved out and back in keeps its watch (the same wd).
            for (auto& mv : m_movedFolders) std::erase(mv.second.wds, wd);
        }
        bFirst = false;
        DIR* d = opendir(abs.c_str());
        if (!d) continue;
        while (struct dirent* de = readdir(d)) {
            const char* name = de->d_name;
            if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
            bool bDir = de->d_type == DT_DIR;
            if (de->d_type == DT_UNKNOWN) {
                struct stat st;
                bDir = fstatat(dirfd(d), name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
            }
            bool bLinkDir = false;
            if (!bDir && m_bFollowLinks && (de->d_type == DT_LNK || de->d_type == DT_UNKNOWN)) {
                struct stat st;
                bLinkDir = fstatat(dirfd(d), name, &st, 0) == 0 && S_ISDIR(st.st_mode);
            }
            // A folder whose name cannot be represented is a bad entry: nothing
            // in it is synchronized, and its paths have no exact wide form.
            if ((bDir || bLinkDir) && IsRepresentableName(name))
                todo.push_back({dirRel + "/" + name, bLinkDir});
        }
        closedir(d);
    }
}

std::vector<int> WinFsMonitor::WatchesOfTreeLocked(const std::string& rel) const {
    std::string prefix = rel + "/";
    std::vector<int> wds;
    for (const auto& w : m_watches) {
        if (w.first != m_nRootWd && (w.second == rel || w.second.compare(0, prefix.size(), prefix) == 0))
            wds.push_back(w.first);
    }
    return wds;
}

void WinFsMonitor::RenameTreeLocked(const std::string& from, const std::string& to) {
    std::string prefix = from + "/";
    for (auto& w : m_watches) {
        if (w.first == m_nRootWd) continue;
        if (w.second == from)
            w.second = to;
        else if (w.second.compare(0, prefix.size(), prefix) == 0)
            w.second = to + w.second.substr(from.size());
    }
}

// ------------------------------------------------------------ changes
void WinFsMonitor::QueueUnknownLocked() {
    if (m_bUnknownPending) return;
    m_bUnknownPending = true;
    m_pending.push_back(ChangedItem(CWideString(), CIK_UNKNOWN, CZorTime::Now()));
}

void WinFsMonitor::QueueLocked(const std::string& rel, uint32_t kind) {
    if (m_bCollapsed) return;
    if (m_pending.size() >= kMaxPending) {
        // Nobody takes them: one record for the whole tree replaces the rest.
        m_pending.clear();
        m_lastOfPath.clear();
        m_bUnknownPending = false;
        m_pending.push_back(ChangedItem(CWideString(), CIK_CHANGE_IN_FOLDER, CZorTime::Now()));
        m_bCollapsed = true;
        return;
    }
    auto it = m_lastOfPath.find(rel);
    if (it != m_lastOfPath.end() && (kind == CIK_MODIFIED || kind == CIK_METADATA)) {
        uint32_t last = m_pending[it->second].m_nKind;
        // A write after a create (or a second write) adds nothing the caller does not do anyway.
        if (last == CIK_CREATED || last == CIK_MOVED_TO || last == kind ||
            (kind == CIK_METADATA && last == CIK_MODIFIED))
            return;
    }
    m_lastOfPath[rel] = m_pending.size();
    m_pending.push_back(ChangedItem(Utf8ToWide(rel.c_str(), (int)rel.size()), kind, CZorTime::Now()));
}

void WinFsMonitor::HandleEvent(const struct inotify_event* ev) {
    uint32_t mask = ev->mask;
    if (mask & IN_Q_OVERFLOW) {
        QueueUnknownLocked();
        return;
    }
    auto it = m_watches.find(ev->wd);
    if (it == m_watches.end()) return; // a watch removed already
    bool bRoot = ev->wd == m_nRootWd;
    if (mask & IN_IGNORED) {
        m_watches.erase(it);
        if (bRoot && !m_bRootGone) {
            m_bRootGone = true;
            m_sRootGone =
                u"the monitored folder was removed: " + ZorWidePath(m_sRoot.empty() ? "/" : m_sRoot.c_str());
        }
        return;
    }
    if (bRoot && (mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT))) {
        m_bRootGone = true;
        CWideString what = (mask & IN_MOVE_SELF) ? u"moved away"
                           : (mask & IN_UNMOUNT) ? u"unmounted"
                                                 : u"removed";
        m_sRootGone = u"the monitored folder was " + what + u": " +
                      ZorWidePath(m_sRoot.empty() ? "/" : m_sRoot.c_str());
        return;
    }
    if (ev->len == 0 || ev->name[0] == 0) return; // an event of the watched folder itself
    const std::string& dirRel = it->second;
    if (!IsRepresentableName(ev->name)) {
        // The folder's listing marks such an entry; have the folder listed again.
        QueueLocked(dirRel, CIK_CHANGE_IN_FOLDER);
        return;
    }
    std::string rel = dirRel + "/" + ev->name;
    bool bDir = (mask & IN_ISDIR) != 0;
    if (mask & IN_CREATE) {
        QueueLocked(rel, CIK_CREATED);
        if (bDir) AddTreeLocked(rel);
        else if (IsFollowedLinkLocked(rel))
            AddTreeLocked(rel, true);
    } else if (mask & IN_DELETE) {
        QueueLocked(rel, CIK_DELETED);
        if (!bDir && m_bFollowLinks && ForgetTreeLocked(rel)) AddTreeLocked(std::string());
    } else if (mask & IN_MOVED_FROM) {
        QueueLocked(rel, CIK_MOVED_FROM);
        if (bDir) m_movedFolders[ev->cookie] = MovedFolder{rel, WatchesOfTreeLocked(rel)};
        else if (m_bFollowLinks && ForgetTreeLocked(rel))
            AddTreeLocked(std::string());
    } else if (mask & IN_MOVED_TO) {
        QueueLocked(rel, CIK_MOVED_TO);
        if (bDir) {
            auto mv = m_movedFolders.find(ev->cookie);
            if (mv != m_movedFolders.end()) {
                RenameTreeLocked(mv->second.rel, rel);
                m_movedFolders.erase(mv);
            } else {
                AddTreeLocked(rel); // moved in from outside
            }
        } else if (IsFollowedLinkLocked(rel)) {
            AddTreeLocked(rel, true);
        }
    } else if (mask & IN_MODIFY) {
        QueueLocked(rel, CIK_MODIFIED);
    } else if (mask & IN_ATTRIB) {
        QueueLocked(rel, CIK_METADATA);
    }
}

bool WinFsMonitor::DrainLocked(int& errKind, CWideString& err) {
    if (m_nInotify < 0) return true;
    alignas(struct inotify_event) char buf[64 * 1024];
    for (;;) {
        ssize_t n = ::read(m_nInotify, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) break;
            int kind = FSE_GENERAL;
            errKind = FSE_GENERAL;
            err += u"reading change events: " + MakeErrorMessage(errno, kind);
            return false;
        }
        if (n == 0) break;
        for (ssize_t off = 0; off + (ssize_t)sizeof(struct inotify_event) <= n;) {
            const struct inotify_event* ev = (const struct inotify_event*)(buf + off);
            HandleEvent(ev);
            off += sizeof(struct inotify_event) + ev->len;
        }
    }
    // Folders moved out of the tree (no MovedTo came with them): their watches
    // would report changes of a place that is not ours any more. Only the
    // watches they had go: a folder made since at the same path keeps its own.
    for (auto& mv : m_movedFolders) {
        for (int wd : mv.second.wds) {
            if (m_watches.erase(wd)) inotify_rm_watch(m_nInotify, wd);
        }
    }
    m_movedFolders.clear();
    return true;
}

bool WinFsMonitor::Wait(int& errKind, CWideString& err) {
    int fdIn, fdWake = m_nWake;
    {
        std::lock_guard<std::mutex> g(m_lock);
        if (m_bStop) {
            SetStoppedByUser(errKind, err);
            err += u": change monitoring was stopped";
            return false;
        }
        if (!m_bActive) {
            errKind = FSE_GENERAL;
            err += u"change monitoring is not started";
            return false;
        }
        if (m_bRootGone) {
            errKind = FSE_GENERAL;
            err += m_sRootGone;
            return false;
        }
        fdIn = m_nInotify;
        ++m_nWaiters;
    }
    struct pollfd pfd[2] = {{fdIn, POLLIN, 0}, {fdWake, POLLIN, 0}};
    int nfds = fdWake >= 0 ? 2 : 1;
    bool bVirtual = ZorGetClock().IsVirtual();
    int rc = ::poll(pfd, nfds, bVirtual ? 0 : kWaitMs);
    if (rc == 0 && bVirtual) ZorSleepMs(kWaitMs); // a test clock: the wait passes virtually
    // A file system mounted on the root (or another folder put at its path)
    // sends the watched one no event: its changes would go unseen. The root
    // stays as Start set it while a wait runs.
    const std::string rootPath = m_sRoot.empty() ? std::string("/") : m_sRoot;
    struct stat st {};
    const bool bReplaced = m_nRootIno != 0 && (::stat(rootPath.c_str(), &st) != 0 ||
                                               st.st_dev != m_nRootDev || st.st_ino != m_nRootIno);
    std::unique_lock<std::mutex> g(m_lock);
    --m_nWaiters;
    if (m_nWaiters == 0) m_cvIdle.notify_all();
    if (m_bStop) {
        SetStoppedByUser(errKind, err);
        err += u": change monitoring was stopped";
        return false;
    }
    if (!DrainLocked(errKind, err)) return false;
    if (bReplaced && !m_bRootGone) {
        m_bRootGone = true;
        m_sRootGone =
            u"another folder stands at the monitored folder's path (a file system mounted on it?): " +
            ZorWidePath(rootPath.c_str());
    }
    if (m_bRootGone) {
        errKind = FSE_GENERAL;
        err += m_sRootGone;
        return false;
    }
    return true;
}

bool WinFsMonitor::Take(CListT<ChangedItem>& items, int& errKind, CWideString& err) {
    std::lock_guard<std::mutex> g(m_lock);
    // Events not read by a wait yet are read here, so that a caller gets what
    // has happened up to now.
    bool ok = m_bStop || DrainLocked(errKind, err);
    for (const ChangedItem& c : m_pending) items.AddTail(c);
    m_pending.clear();
    m_lastOfPath.clear();
    m_bUnknownPending = false;
    m_bCollapsed = false;
    return ok;
}

// ============================================================ WinFileSys
void WinFileSys::SetMonitorWatchLimitForTest(int nMaxWatches) {
    g_nWatchLimitForTest = nMaxWatches;
}

WinFsMonitor* WinFileSys::MonitorSlot::Get() {
    std::atomic_ref<WinFsMonitor*> ref(m_p);
    WinFsMonitor* p = ref.load();
    if (p) return p;
    WinFsMonitor* made = new WinFsMonitor();
    if (ref.compare_exchange_strong(p, made)) return made;
    delete made;
    return p;
}

WinFileSys::MonitorSlot::~MonitorSlot() {
    delete m_p;
}

bool WinFileSys::StartMonitoring(const CWideString& path, int& errKind, CWideString& err) {
    CNarrowString native;
    if (!NativePath(path, native, errKind, err)) return false;
    return m_monitor.Get()->Start(native, m_bMonitorFollowsLinks, errKind, err);
}

bool WinFileSys::WaitForChanges(int& errKind, CWideString& err) {
    return m_monitor.Get()->Wait(errKind, err);
}

bool WinFileSys::GetChangedItems(CListT<ChangedItem>& items, int& errKind, CWideString& err) {
    return m_monitor.Get()->Take(items, errKind, err);
}

void WinFileSys::StopMonitoring() {
    std::atomic_ref<WinFsMonitor*> ref(m_monitor.m_p);
    if (WinFsMonitor* p = ref.load()) p->Stop();
}
