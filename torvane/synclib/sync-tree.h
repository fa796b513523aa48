// The sync tree: every item of a job in one FSTree that mirrors the folder
// structure of both sides, its iterators, and the base class of the analysis
// and sync passes.
#pragma once

#include "filetree.h"
#include "sync-item.h"
#include "zor-coll.h"
#include "zor-string.h"

class CSyncJob;

// One node of the sync tree.
using CSyncTreeNode = FSTree<CSyncPairAndAction>;
using CSyncLevelIter = FSTreeLevelFilesAndFoldersIter<CSyncPairAndAction>;
using CSyncDepthFirstIter = FSTreeAllDepthFirstIter<CSyncPairAndAction>;

// The job's sync tree; itself the root node (it has no name and an empty path).
class CSyncPairsAndActions : public FSTree<CSyncPairAndAction> {
public:
    // Builds the root and runs InitRoot.
    CSyncPairsAndActions();
    ~CSyncPairsAndActions();
    CSyncPairsAndActions(const CSyncPairsAndActions&) = delete;
    CSyncPairsAndActions& operator=(const CSyncPairsAndActions&) = delete;

    // Gives the root its child map when it has none, marks its left and right
    // current records present folders (folder length) and sets both
    // holds-data-folder bytes.
    void InitRoot();
};

// Base of the analysis and sync passes: a small object made by its caller,
// run once over a subtree by one of the job's runners, and destroyed.
class CDoSmthWithPair {
public:
    virtual ~CDoSmthWithPair() = default;
    // Works on one node; false stops the runner that calls it.
    virtual bool DoWithPair(CSyncTreeNode* pNode, CSyncJob* pJob) = 0;
};

// The folder common to a list of paths (the separator is "\" with
// bBackslashStyle, "/" otherwise; in the backslash style "/" separates too).
// The first path counts whole, so a folder and items inside it give that
// folder; a single path gives its parent folder. The result always ends at a
// separator boundary of every path ("/a/bc/x" and "/a/bd/y" give "/a"); no
// common folder, or only the root "/", gives an empty text.
CWideString GetCommonParentFolder(const CWideString* pPaths, int nCount, bool bBackslashStyle);
CWideString GetCommonParentFolder(const CListT<CWideString>& paths, bool bBackslashStyle);
