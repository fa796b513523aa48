// FSTree<T>: a tree of items keyed by name, mirroring a folder structure, and
// its iterators.
//
// Each node holds one T by value. A node's children live in an ordered child
// map (CRBLexMapT, rbmap-lex.h) from the child's name to the child node, held
// by value inside the map entry; the node's own name is the key of that entry
// (TreeNodeName) and is not stored in the node. A node is a container when it
// is the root (no parent) or has a child map, even an empty one.
//
// Paths are "/"-separated below the node a look-up starts from, with or
// without a leading "/"; the root's own path is empty.
//
// T must be default-constructible (a new node's item) and assignable (the
// item assignment used when a node is added with a given item).
//
// Iterators:
//   FSTreeLevelFilesAndFoldersIter - the direct children of one node in
//                                    child-map (key) order, forwards and back;
//   FSTreeAllDepthFirstIter        - every node below a start node in
//                                    pre-order: a node, then its whole subtree
//                                    in key order, then its next sibling. The
//                                    start node itself is not visited.
// CreateChildIter and Clone return new iterators that the caller deletes.
#pragma once

#include "rbmap-lex.h"
#include "zor-coll.h"
#include "zor-debug.h"
#include "zor-string.h"

#include <vector>

template <typename T> class FSTree {
public:
    using CChildMap = CRBLexMapT<FSTree<T>>;
    using CEntry = typename CChildMap::CEntry;
    static constexpr int kChildGrowBy = 10;

    FSTree() = default;
    // A copy is not linked into any tree: it has no parent and no children.
    // Copying a node that has children is an assertion report (the children
    // are not copied).
    FSTree(const FSTree& o) {
        ZOR_ASSERT(o.GetChildCount() == 0);
        m_Item = o.m_Item;
    }
    // Assigns the item only: the target keeps its own parent (its place in
    // its tree) and its child map. Copying from a node that has children is
    // an assertion report.
    FSTree& operator=(const FSTree& o) {
        if (this != &o) {
            ZOR_ASSERT(o.GetChildCount() == 0);
            m_Item = o.m_Item;
        }
        return *this;
    }
    // Destroys the child map (every descendant), then the item. Not virtual:
    // a node holds no table pointer (a tree holds millions of nodes), and no
    // node is destroyed through a pointer to a base.
    ~FSTree() { delete m_pChildren; }

    T& GetItem() { return m_Item; }
    const T& GetItem() const { return m_Item; }
    FSTree* GetParent() const { return m_pParent; }
    CChildMap* GetChildMap() const { return m_pChildren; }
    bool IsContainer() const { return !m_pParent || m_pChildren; }
    int GetChildCount() const { return m_pChildren ? m_pChildren->GetCount() : 0; }
    // Creates an empty child map when there is none (the node becomes a container).
    CChildMap* EnsureChildMap() {
        if (!m_pChildren) m_pChildren = new CChildMap(kChildGrowBy);
        return m_pChildren;
    }
    // Hands the child map (every descendant) to the caller, who owns it from
    // here on; the node is left without children.
    CChildMap* ReleaseChildMap() {
        CChildMap* p = m_pChildren;
        m_pChildren = nullptr;
        return p;
    }

    // Parent steps from this node up to pTop, or up to the root when pTop is
    // not an ancestor (or null).
    int GetDepth(const FSTree* pTop) const {
        int n = 0;
        for (const FSTree* p = this; p != pTop && p->m_pParent; p = p->m_pParent) n++;
        return n;
    }

    // The key of this node in its parent's child map; empty for the root.
    const CWideString& GetNameRef() const {
        static const CWideString s_empty;
        return m_pParent ? CChildMap::EntryFromValue(this)->GetKey() : s_empty;
    }
    CWideString GetName() const { return GetNameRef(); }

    // "/a/b/c": the names from below the root down to this node; empty for the root.
    CWideString GetPath() const {
        int nLen = 0, nDepth = 0;
        for (const FSTree* p = this; p->m_pParent; p = p->m_pParent) {
            nLen += 1 + p->GetNameRef().GetLength();
            nDepth++;
        }
        CWideString s;
        if (nDepth == 0) return s;
        char16_t* buf = s.GetBufferSetLength(nLen);
        int pos = nLen;
        for (const FSTree* p = this; p->m_pParent; p = p->m_pParent) {
            const CWideString& name = p->GetNameRef();
            pos -= name.GetLength();
            for (int i = 0; i < name.GetLength(); i++) buf[pos + i] = name.GetString()[i];
            buf[--pos] = u'/';
        }
        s.ReleaseBuffer(nLen);
        return s;
    }

    // The node at a "/"-separated path below pTree. Leading and repeated
    // separators are skipped. Errors (appended to err, result null):
    // "LookupCS: empty name" for an empty path, a path of only separators or
    // one ending with "/"; "LookupCS: no pTree" for a null start node. A
    // missing component gives null without an error text. When ppParent is
    // given it receives the node that holds (or would hold) the last
    // component, found or not; it is cleared first.
    static FSTree* LookupCS(FSTree* pTree, const CWideString& path, bool bCaseSensitive, FSTree** ppParent,
                            CWideString& err) {
        if (ppParent) *ppParent = nullptr;
        const char16_t* p = path.GetString();
        const int n = path.GetLength();
        int i = 0;
        for (;;) {
            while (i < n && p[i] == u'/') i++;
            const int nStart = i;
            while (i < n && p[i] != u'/') i++;
            const int nCompLen = i - nStart;
            const bool bLast = i == n;
            if (nCompLen == 0) {
                err += u"LookupCS: empty name";
                return nullptr;
            }
            if (!pTree) {
                err += u"LookupCS: no pTree";
                return nullptr;
            }
            CEntry* e = pTree->m_pChildren
                            ? pTree->m_pChildren->LookupCS(p + nStart, nCompLen, bCaseSensitive)
                            : nullptr;
            if (bLast && ppParent) *ppParent = pTree;
            if (!e) return nullptr;
            if (bLast) return &e->GetValue();
            pTree = &e->GetValue();
        }
    }
    FSTree* LookupCS(const CWideString& path, bool bCaseSensitive, FSTree** ppParent, CWideString& err) {
        return LookupCS(this, path, bCaseSensitive, ppParent, err);
    }

    // Adds a child under name. The new node's item is assigned from *pItem
    // when given (else it is a new item); with bMakeContainer the child gets
    // an empty child map. Errors (appended to err, result null):
    // "AddItemCS: name is empty", "AddItemCS: child already present" (in the
    // given case mode), "AddItemCS: name contains '/': <name>",
    // "AddItemCS: SetAtCS failed" (out of memory). bLikelyLast: children
    // are being added in key order (the map finds the place faster then).
    FSTree* AddItemCS(const CWideString& name, bool bMakeContainer, bool bCaseSensitive, const T* pItem,
                      CWideString& err, bool bLikelyLast = false) {
        if (name.IsEmpty()) {
            err += u"AddItemCS: name is empty";
            return nullptr;
        }
        if (name.Find(u'/') >= 0) {
            if (m_pChildren && m_pChildren->LookupCS(name, bCaseSensitive))
                err += u"AddItemCS: child already present";
            else
                err += u"AddItemCS: name contains '/': " + name;
            return nullptr;
        }
        EnsureChildMap();
        // The key lives as long as the tree: do not keep a buffer with spare
        // room. A string made for the name alone already has up to 7 units of
        // slack (blocks are rounded up to the allocator's 16-byte chunks);
        // copying it would give the same again.
        const bool bSlack = name.Data()->nAllocLength > name.GetLength() + 7;
        // One descent finds an entry that matches (the first in key order, as
        // LookupCS) or the place of the new one.
        bool bAdded = false;
        CEntry* e = m_pChildren->GetOrAddCS(bSlack ? CWideString(name.GetString(), name.GetLength()) : name,
                                            bCaseSensitive, &bAdded, bLikelyLast);
        if (!e) {
            err += u"AddItemCS: SetAtCS failed";
            return nullptr;
        }
        if (!bAdded) {
            err += u"AddItemCS: child already present";
            return nullptr;
        }
        FSTree* pNode = &e->GetValue();
        pNode->m_pParent = this;
        if (pItem) pNode->m_Item = *pItem;
        if (bMakeContainer) pNode->EnsureChildMap();
        return pNode;
    }

    // Removes every child (the child map itself stays), unlinks the node from
    // its parent and gives it a new item (assigned, as T's assignment does).
    void Clear() {
        if (m_pChildren) m_pChildren->RemoveAll();
        m_pParent = nullptr;
        m_Item = T();
    }

protected:
    // The links first: beside the child-map entry's own links, so that a walk
    // over the tree touches fewer cache lines per node.
    FSTree* m_pParent = nullptr;
    CChildMap* m_pChildren = nullptr;
    T m_Item{};
};

// ---------------------------------------------------------------- iterators

template <typename T> class ITreeIterator {
public:
    virtual ~ITreeIterator() = default;
    // (Re)positions on the first element below the node (a null node keeps
    // the node given before); true when positioned.
    virtual bool Reset(FSTree<T>* pNode = nullptr) = 0;
    // Advances; false at the end.
    virtual bool Next() = 0;
    // A new iterator over the current element's children, or null.
    virtual ITreeIterator* CreateChildIter() = 0;
    // A new iterator at the same position.
    virtual ITreeIterator* Clone() const = 0;
    virtual T* GetItem() const = 0;
    virtual FSTree<T>* GetNode() const = 0;
    virtual CWideString GetName() const = 0;
    virtual CWideString GetPath() const = 0;
    virtual bool IsOnLevel() const = 0;
    virtual bool IsValid() const = 0;
};

// The direct children of one node in key order.
template <typename T> class FSTreeLevelFilesAndFoldersIter : public ITreeIterator<T> {
public:
    using CNode = FSTree<T>;
    using CEntry = typename CNode::CEntry;

    explicit FSTreeLevelFilesAndFoldersIter(CNode* pNode, int nFlag = 0) : m_pNode(pNode), m_nFlag(nFlag) {
        Reset(nullptr);
    }

    bool Reset(CNode* pNode = nullptr) override {
        if (pNode) m_pNode = pNode;
        m_pCur = nullptr;
        m_pMap = m_pNode ? m_pNode->GetChildMap() : nullptr;
        if (!m_pMap) return false;
        m_pCur = m_pMap->GetFirst();
        return m_pCur != nullptr;
    }
    bool Next() override {
        if (!m_pCur) return false;
        m_pCur = CNode::CChildMap::GetNext(m_pCur);
        if (!m_pCur) return false;
        CNode::CChildMap::PrefetchFollowing(m_pCur);
        return true;
    }
    bool Prev() {
        if (!m_pCur) return false;
        m_pCur = CNode::CChildMap::GetPrev(m_pCur);
        return m_pCur != nullptr;
    }
    ITreeIterator<T>* CreateChildIter() override {
        if (!IsOnLevel()) return nullptr;
        return new FSTreeLevelFilesAndFoldersIter(&m_pCur->GetValue(), 0);
    }
    ITreeIterator<T>* Clone() const override { return CloneLevel(); }
    FSTreeLevelFilesAndFoldersIter* CloneLevel() const {
        auto* p = new FSTreeLevelFilesAndFoldersIter(nullptr, m_nFlag);
        p->m_pNode = m_pNode;
        p->m_pMap = m_pMap;
        p->m_pCur = m_pCur;
        return p;
    }
    T* GetItem() const override { return m_pCur ? &m_pCur->GetValue().GetItem() : nullptr; }
    CNode* GetNode() const override { return m_pCur ? &m_pCur->GetValue() : nullptr; }
    CWideString GetName() const override { return m_pCur ? m_pCur->GetKey() : CWideString(); }
    CWideString GetPath() const override { return m_pCur ? m_pCur->GetValue().GetPath() : CWideString(); }
    // Positioned, and the node's child map is still the one seen at Reset.
    bool IsOnLevel() const override { return m_pCur && m_pNode && m_pNode->GetChildMap() == m_pMap; }
    bool IsValid() const override { return m_pCur != nullptr; }

    CNode* GetParentNode() const { return m_pNode; }
    int GetFlag() const { return m_nFlag; }

private:
    CNode* m_pNode;
    CEntry* m_pCur = nullptr;
    int m_nFlag;
    typename CNode::CChildMap* m_pMap = nullptr;
};

// Every node below a start node, in pre-order. The levels are kept by value
// in one array (a walk of a large tree allocates nothing per folder).
template <typename T> class FSTreeAllDepthFirstIter : public ITreeIterator<T> {
public:
    using CNode = FSTree<T>;
    using CEntry = typename CNode::CEntry;
    using CChildMap = typename CNode::CChildMap;

    explicit FSTreeAllDepthFirstIter(CNode* pNode) : m_pStart(pNode) { Reset(nullptr); }
    ~FSTreeAllDepthFirstIter() override = default;
    FSTreeAllDepthFirstIter(const FSTreeAllDepthFirstIter&) = delete;
    FSTreeAllDepthFirstIter& operator=(const FSTreeAllDepthFirstIter&) = delete;

    bool Reset(CNode* pNode = nullptr) override {
        m_Stack.clear();
        if (pNode) m_pStart = pNode;
        if (m_pStart && m_pStart->GetChildCount() > 0) {
            CChildMap* pMap = m_pStart->GetChildMap();
            m_Stack.push_back(Level{m_pStart, pMap, pMap->GetFirst()});
        }
        return IsValid();
    }
    // Descends into the current node's children first; else advances, going
    // back up past finished levels.
    bool Next() override {
        if (m_Stack.empty()) return false;
        Level& top = m_Stack.back();
        // A node without children needs no level of its own (most nodes are files).
        if (top.IsOnLevel()) {
            CNode* pCur = &top.pCur->GetValue();
            CChildMap* pMap = pCur->GetChildMap();
            if (pMap && pMap->GetCount() > 0) {
                m_Stack.push_back(Level{pCur, pMap, pMap->GetFirst()});
                return true;
            }
        }
        while (!m_Stack.empty()) {
            Level& l = m_Stack.back();
            if (l.pCur && (l.pCur = CChildMap::GetNext(l.pCur)) != nullptr) {
                CChildMap::PrefetchFollowing(l.pCur);
                break;
            }
            m_Stack.pop_back();
        }
        return !m_Stack.empty();
    }
    ITreeIterator<T>* CreateChildIter() override {
        if (!IsOnLevel()) return nullptr;
        return new FSTreeAllDepthFirstIter(GetNode());
    }
    ITreeIterator<T>* Clone() const override {
        auto* p = new FSTreeAllDepthFirstIter(nullptr);
        p->m_pStart = m_pStart;
        p->m_Stack = m_Stack;
        return p;
    }
    T* GetItem() const override {
        return m_Stack.empty() ? nullptr : &m_Stack.back().pCur->GetValue().GetItem();
    }
    CNode* GetNode() const override { return m_Stack.empty() ? nullptr : &m_Stack.back().pCur->GetValue(); }
    CWideString GetName() const override {
        return m_Stack.empty() ? CWideString() : m_Stack.back().pCur->GetKey();
    }
    CWideString GetPath() const override {
        return m_Stack.empty() ? CWideString() : m_Stack.back().pCur->GetValue().GetPath();
    }
    bool IsOnLevel() const override { return !m_Stack.empty() && m_Stack.back().IsOnLevel(); }
    bool IsValid() const override { return !m_Stack.empty(); }

    CNode* GetStartNode() const { return m_pStart; }
    // Levels below the start node of the current element (1 for a child of the start node).
    int GetLevelCount() const { return (int)m_Stack.size(); }

private:
    // One level: the node whose children are walked, its child map as seen
    // when the level began, and the current child (never null while the
    // level is on the stack).
    struct Level {
        CNode* pNode;
        CChildMap* pMap;
        CEntry* pCur;
        bool IsOnLevel() const { return pCur && pNode->GetChildMap() == pMap; }
    };
    std::vector<Level> m_Stack;
    CNode* m_pStart;
};
