// The child-name index of one folder. See state-file-index.h.
#include "state-file-index.h"

#include "zor-fold.h"

#include <cstring>

namespace {

// Names that match ignoring case have equal folded units, so equal hashes.
// Four units are folded (the fold of the child-map order,
// CompareNoCaseThenCase) and mixed in one step.
uint32_t FoldedNameHash(const char16_t* p, int n) {
    uint64_t h = 0x9E3779B97F4A7C15ull ^ (uint64_t)(uint32_t)n;
    auto mix = [&h](uint64_t w) {
        h = (h ^ w) * 0xBF58476D1CE4E5B9ull;
        h ^= h >> 31;
    };
    int i = 0;
    for (; i + 4 <= n; i += 4) mix(ZorFoldNameUnits4(p + i));
    if (i < n) {
        uint64_t w = 0;
        for (int k = 0; i + k < n; k++) w |= (uint64_t)ZorFoldNameUnit(p[i + k]) << (16 * k);
        mix(w);
    }
    return (uint32_t)(h ^ (h >> 32));
}

} // namespace

bool CChildNameIndex::NameMatches(const CWideString& a, const CWideString& b, bool bCaseSensitive) {
    const int n = a.GetLength();
    if (n != b.GetLength()) return false;
    const char16_t* pa = a.GetString();
    const char16_t* pb = b.GetString();
    int i = ZorSkipEqualUnits4(pa, pb, n);
    if (i == n) return true;
    if (bCaseSensitive) return memcmp(pa + i, pb + i, sizeof(char16_t) * (size_t)(n - i)) == 0;
    for (; i < n; i++) {
        const unsigned ca = pa[i], cb = pb[i];
        if (ca == cb) continue;
        if (ZorFoldNameUnit(ca) != ZorFoldNameUnit(cb)) return false;
    }
    return true;
}

// ---------------------------------------------------------------- child index
void CChildNameIndex::Build(CSyncTreeNode* pFolder) {
    m_Slots.clear();
    m_nMask = 0;
    m_pFolder = pFolder;
    m_pMap = nullptr;
    m_nIndexed = 0;
    m_nGeneration = 0;
    m_bCaseTwins = false;
    CSyncTreeNode::CChildMap* pMap = pFolder ? pFolder->GetChildMap() : nullptr;
    // A few children are found as fast by the map's descent.
    constexpr int kMinIndexed = 16;
    if (!pMap || pMap->GetCount() < kMinIndexed) return;
    size_t nSlots = 32;
    while (nSlots < (size_t)pMap->GetCount() * 2) nSlots *= 2;
    m_Slots.assign(nSlots, Slot{nullptr, 0});
    m_nMask = (uint32_t)(nSlots - 1);
    m_pMap = pMap;
    m_nIndexed = pMap->GetCount();
    m_nGeneration = pMap->GetGeneration();
    // In any order: a look-up that ignores case steps back to the first of
    // the names that match (they are neighbours in key order) where two
    // indexed names match ignoring case, or names were added since. The
    // keys' texts are asked for a few entries ahead.
    m_Entries.clear();
    pMap->CollectEntries(m_Entries);
    constexpr size_t kAhead = 8;
    const size_t n = m_Entries.size();
    for (size_t j = 0; j < n && j < kAhead; j++) __builtin_prefetch(m_Entries[j]->GetKey().GetString());
    for (size_t j = 0; j < n; j++) {
        if (j + kAhead < n) __builtin_prefetch(m_Entries[j + kAhead]->GetKey().GetString());
        CSyncTreeNode::CEntry* e = m_Entries[j];
        const CWideString& key = e->GetKey();
        const uint32_t h = FoldedNameHash(key.GetString(), key.GetLength());
        uint32_t i = h & m_nMask;
        for (; m_Slots[i].e; i = (i + 1) & m_nMask)
            if (m_Slots[i].nHash == h && NameMatches(key, m_Slots[i].e->GetKey(), false)) m_bCaseTwins = true;
        m_Slots[i] = Slot{e, h};
    }
}

bool CChildNameIndex::IsUsable() const {
    if (!IsBuilt() || m_pFolder->GetChildMap() != m_pMap) return false;
    // Each change counts once: changes that are all additions raise the
    // count by as much as the generation; a removal (with or without
    // additions to make up the count) makes them differ.
    const int nAdded = m_pMap->GetCount() - m_nIndexed;
    return nAdded >= 0 && m_pMap->GetGeneration() - m_nGeneration == (uint64_t)nAdded;
}

CSyncTreeNode* CChildNameIndex::Find(const CWideString& name, bool bCaseSensitive) const {
    const uint32_t h = FoldedNameHash(name.GetString(), name.GetLength());
    for (uint32_t i = h & m_nMask;; i = (i + 1) & m_nMask) {
        const Slot& slot = m_Slots[i];
        if (!slot.e) return nullptr;
        if (slot.nHash != h || !NameMatches(name, slot.e->GetKey(), bCaseSensitive)) continue;
        CSyncTreeNode::CEntry* e = slot.e;
        // The first in key order of the names that match ignoring case.
        if (!bCaseSensitive && (m_bCaseTwins || m_pMap->GetGeneration() != m_nGeneration))
            for (CSyncTreeNode::CEntry* p; (p = CSyncTreeNode::CChildMap::GetPrev(e)) != nullptr &&
                                           NameMatches(name, p->GetKey(), false);)
                e = p;
        return &e->GetValue();
    }
}
