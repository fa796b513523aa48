// Execution of a Sync: the scheduler's passes over the tree and the worker
// hand-off (syncjob-workers.cpp), the execution of one item
// (syncjob-exec.cpp) and the file-system work of one copy action
// (syncjob-copy.cpp).
//
// Every function returns false with an error kind (FsErrorKind) and text;
// "fs" is the executing thread's pair of connected file systems (index 0
// left, 1 right) and "progress" the executing thread's progress sink.
#pragma once

#include "syncjob-analysis.h"
#include "syncjob.h"

// ---------------------------------------------------------------- scheduler
// Every decided action of the tree, in order: deletions, case changes and
// new folders, files (on the job thread or on workers), folders' own actions,
// folder properties and the state files (always written, also after a failed
// or stopped main pass).
bool ExecuteAll(CSyncJob* pJob, TvFileSys* const fs[2], int& errKind, CWideString& errText);
bool ExecuteDeletionsPass(CSyncTreeNode* pNode, CSyncJob* pJob, TvFileSys* const fs[2], int& errKind,
                          CWideString& errText);
bool ExecuteFolderPass(CSyncTreeNode* pNode, CSyncJob* pJob, TvFileSys* const fs[2], int& nTasks,
                       int& errKind, CWideString& errText);
bool ExecuteSubtree(CSyncTreeNode* pNode, CSyncJob* pJob, TvFileSys* const fs[2], int& errKind,
                    CWideString& errText);
bool ExecuteFinalPass(CSyncTreeNode* pNode, CSyncJob* pJob, TvFileSys* const fs[2], bool bWorkersUsed,
                      int& errKind, CWideString& errText);
// Hands one file node to whichever worker reports done first.
bool ExecuteNodeWorker(CSyncTreeNode* pNode, CSyncJob* pJob, int& errKind, CWideString& errText);
// A folder's deferred own action, then its times, attributes and ACL.
bool CloseModifiedFolder(CSyncTreeNode* pNode, const CWideString& path, CSyncJob* pJob, TvFileSys* const fs[2],
                         int& errKind, CWideString& errText);

// ---------------------------------------------------------------- one item
// Carries out the item's effective action and updates its records. True to
// go on (also when the item failed and was marked so); false stops the
// whole execution (fatal error kind, stop, failed reconnect).
bool ExecuteNode(CSyncTreeNode* pNode, const CWideString& path, CSyncJob* pJob, TvFileSys* const fs[2],
                 ICopyProgress* pProgress, int& errKind, CWideString& errText);
bool MoveItem(CSyncTreeNode* pNode, const CWideString& fromPath, const CWideString& toPath, CSyncJob* pJob,
              TvFileSys* const fs[2], int side, bool bCaseChange, CWideString& logText, int& errKind,
              CWideString& errText);
bool UpdateStateAfterSync(CSyncTreeNode* pNode, CSyncJob* pJob, TvFileSys* const fs[2], int src, int dst,
                          bool bMerge, int& errKind, CWideString& errText);
// The time a copy read (TvLastReadFile) as a listing of the file gives it:
// a time before 1970 is 0, one after 2106 the last second a record holds.
inline uint32_t ReadTimeAsListed(int64_t t) {
    return t < 0 ? 0u : t > (int64_t)UINT32_MAX ? UINT32_MAX : (uint32_t)t;
}

// ---------------------------------------------------------------- one copy action
enum EFileOpCode : int {
    FOP_NONE = 0,
    FOP_DELETE = 3,
    FOP_COPY = 4, // create folder or copy file
    FOP_LINK = 9,
};
bool DoFileOp(CSyncTreeNode* pNode, CSyncJob* pJob, TvFileSys* const fs[2], int src, int dst, int& opCode,
              CWideString& logText, int& errKind, CWideString& errText);
// Removes (or keeps as a previous version) the existing target. With
// bKeepInPlace a kept file version is linked (or copied), and the target
// stays until the caller replaces it.
bool DeleteDest(const CWideString& path, CSyncTreeNode* pNode, CSyncJob* pJob, TvFileSys* fs, int side,
                uint32_t attrs, bool bConflictLoser, bool bKeepInPlace, CWideString& newPath, int& errKind,
                CWideString& errText);
bool CheckSameAsAnalyze(CSyncTreeNode* pNode, CSyncJob* pJob, TvFileSys* const fs[2], int src, int dst,
                        int& errKind, CWideString& errText);
bool VerifySideUnchanged(TvFileSys* fs, const CWideString& path, const CSideInfo& rec, FsItemInfo& info,
                         bool& bChanged, int& errKind, CWideString& errText);
// The file at the target's name is still the one Analyze listed (asked of a
// local side, unless the job is a forced one-way job; true elsewhere): false
// with "Destination file has changed since Analyze. Re-Analyze required" and
// the like.
bool TargetAsListed(const CSyncJob* pJob, TvFileSys* fsT, const CWideString& path, const CSideInfo& T,
                    int& errKind, CWideString& errText);
bool CopyModTime(CSyncTreeNode* pNode, const CWideString& srcPath, const CWideString& dstPath, CSyncJob* pJob,
                 TvFileSys* const fs[2], int src, int dst, int& errKind, CWideString& errText);
// The node's path on side dst with its own name as the source side names it.
CWideString GetItemWritePath(const CSyncTreeNode* pNode, int src, int dst);
