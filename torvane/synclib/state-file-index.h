// The children of one folder of the sync tree, indexed by name.
#pragma once

#include "sync-tree.h"

#include <cstdint>
#include <vector>

// The children one folder has, by name, for the look-ups that the folder's
// listing makes (one per entry, in no useful order): a hash probe that finds
// what a look-up in the child map finds, without the map's descent through
// keys scattered in memory. Children added after Build are not indexed (a
// look-up of them misses); the caller falls back to the full look-up then.
// Once a child was removed after Build the index no longer stands for the
// folder (IsUsable false): its slots may name entries that are gone.
class CChildNameIndex {
public:
    // Indexes the children the folder has now; a folder with few children
    // is not indexed (Find then looks in its child map).
    void Build(CSyncTreeNode* pFolder);
    bool IsBuilt() const { return !m_Slots.empty(); }
    // Built, and the folder's child map has only gained children since: the
    // map's generation moved on by exactly the children it gained.
    bool IsUsable() const;
    // The child that the map's look-up of name gives (the first match in key
    // order), or null when none was indexed. Call only when IsUsable.
    CSyncTreeNode* Find(const CWideString& name, bool bCaseSensitive) const;
    // Whether two names are the same child name (ignoring case unless
    // bCaseSensitive), as the map's look-up compares them.
    static bool NameMatches(const CWideString& a, const CWideString& b, bool bCaseSensitive);

private:
    struct Slot {
        CSyncTreeNode::CEntry* e;
        // Of the folded key: most other keys on a probe path are passed without a look at them.
        uint32_t nHash;
    };
    std::vector<Slot> m_Slots; // open addressing, linear probing
    uint32_t m_nMask = 0;
    std::vector<CSyncTreeNode::CEntry*> m_Entries; // Build's list of the children
    const CSyncTreeNode* m_pFolder = nullptr;
    const CSyncTreeNode::CChildMap* m_pMap = nullptr;
    int m_nIndexed = 0;         // the map's count at Build
    uint64_t m_nGeneration = 0; // the map's generation at Build
    bool m_bCaseTwins = false;  // two indexed names match ignoring case
};
