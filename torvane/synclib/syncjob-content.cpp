// Content comparison of an item's two files, for the decisions that times
// and lengths alone cannot settle (a same-size file whose time moved less
// than the comparison tolerance, or by whole hours).
#include "syncjob.h"

#include "TvByteDigest.h"

#include <cstring>
#include <memory>

namespace {

// Descriptor indexes of the comparison's reads (the copy logic uses 13 and 14).
constexpr int kDixLeft = 11;
constexpr int kDixRight = 12;
constexpr uint32_t kChunk = 256 * 1024;

bool ReadsBlocks(const TvFileSys* fs) {
    return fs->GetCapability(TVFS_CAP_LOCAL) && fs->GetCapability(TVFS_CAP_BLOCK_IO);
}

// Reads len bytes (fewer only at the end of the file).
bool ReadChunk(TvFileSys* fs, int dix, char* buf, uint32_t len, uint32_t& nRead, int& k, CWideString& e) {
    nRead = 0;
    while (nRead < len) {
        uint32_t n = 0;
        if (!fs->ReadBuf(dix, buf + nRead, len - nRead, n, k, e)) return false;
        if (n == 0) break;
        nRead += n;
    }
    return true;
}

} // namespace

int CSyncJob::CompareSideContents(const CSyncTreeNode* pNode) {
    const CSyncPairAndAction& item = pNode->GetItem();
    const CSideInfo& L = item.m_aCur[0];
    const CSideInfo& R = item.m_aCur[1];
    if (!L.Exists() || !R.Exists() || L.IsFolder() || R.IsFolder() || L.GetFlag(SIF_LINK) ||
        R.GetFlag(SIF_LINK))
        return -1;
    if (L.m_Len != R.m_Len) return 0;
    const Md5Crc &mL = item.GetMd5(0), &mR = item.GetMd5(1);
    if (m_Options.m_bCompareMD5crc && !mL.IsZero() && !mR.IsZero()) return mL == mR ? 1 : 0;
    uint64_t nDigest = 0;
    const int n = CompareFileContents(pNode, 0, pNode, 1, true, &nDigest);
    if (n > 0 && nDigest) {
        // Both files hold the bytes read: their records keep the digest
        // (an old record of other bytes no longer keeps it).
        CSyncPairAndAction& it = const_cast<CSyncTreeNode*>(pNode)->GetItem();
        it.NewDigest(nDigest);
        it.m_aCur[0].SetFlag(SIF_DIGEST, true);
        it.m_aCur[1].SetFlag(SIF_DIGEST, true);
    }
    return n;
}

int CSyncJob::SideMatchesDigest(CSyncTreeNode* pNode, int side) {
    side &= 1;
    CSyncPairAndAction& item = pNode->GetItem();
    CSideInfo& cur = item.m_aCur[side];
    if (!item.HasDigest(side) || !cur.Exists() || cur.IsFolder() || cur.GetFlag(SIF_LINK)) return -1;
    if (cur.m_Len != item.m_aOld[side].m_Len) return 0;
    TvFileSys* fs = m_apFs[side].get();
    if (!fs || !ReadsBlocks(fs)) return -1;
    int k = 0;
    CWideString e;
    const int dix = side ? kDixRight : kDixLeft;
    if (!fs->OpenFile(dix, GetItemSidePath(pNode, side), TVFS_OPEN_READ, k, e)) {
        Log(3, 6950, u"Cannot read the contents of " + pNode->GetPath() + u": " + e + u"\n");
        return -1;
    }
    std::unique_ptr<char[]> buf(new char[kChunk]);
    TvByteDigest digest;
    uint64_t nTotal = 0;
    int result = -1;
    for (;;) {
        if (IsStopped()) break;
        uint32_t n = 0;
        if (!ReadChunk(fs, dix, buf.get(), kChunk, n, k, e)) {
            Log(3, 6950, u"Cannot read the contents of " + pNode->GetPath() + u": " + e + u"\n");
            break;
        }
        digest.Update(buf.get(), n);
        nTotal += n;
        if (n < kChunk) {
            result = nTotal == cur.m_Len.GetValue() && digest.Value() == item.Digest(side) ? 1 : 0;
            break;
        }
    }
    int k2 = 0;
    CWideString e2;
    fs->CloseFile(dix, k2, e2);
    if (result > 0) cur.SetFlag(SIF_DIGEST, true);
    return result;
}

int CSyncJob::CompareFileContents(const CSyncTreeNode* pA, int sideA, const CSyncTreeNode* pB, int sideB,
                                  bool bMd5, uint64_t* pDigest) {
    TvFileSys* fs[2] = {m_apFs[sideA & 1].get(), m_apFs[sideB & 1].get()};
    if (!fs[0] || !fs[1]) return -1;
    const CWideString path[2] = {GetItemSidePath(pA, sideA & 1), GetItemSidePath(pB, sideB & 1)};
    int k = 0;
    CWideString e;
    auto failed = [&] {
        Log(3, 6950, u"Cannot compare the contents of " + pA->GetPath() + u": " + e + u"\n");
        return -1;
    };
    if (ReadsBlocks(fs[0]) && ReadsBlocks(fs[1])) {
        const int dix[2] = {kDixLeft, kDixRight};
        bool open[2] = {false, false};
        auto closeAll = [&] {
            int k2 = 0;
            CWideString e2;
            for (int s = 0; s < 2; s++)
                if (open[s]) fs[s]->CloseFile(dix[s], k2, e2);
        };
        for (int s = 0; s < 2; s++) {
            if (!fs[s]->OpenFile(dix[s], path[s], TVFS_OPEN_READ, k, e)) {
                closeAll();
                return failed();
            }
            open[s] = true;
        }
        std::unique_ptr<char[]> buf(new char[2 * (size_t)kChunk]);
        char* a = buf.get();
        char* b = a + kChunk;
        TvByteDigest digest;
        int result = 1;
        for (;;) {
            if (IsStopped()) {
                result = -1;
                break;
            }
            uint32_t nA = 0, nB = 0;
            if (!ReadChunk(fs[0], dix[0], a, kChunk, nA, k, e) ||
                !ReadChunk(fs[1], dix[1], b, kChunk, nB, k, e)) {
                closeAll();
                return failed();
            }
            if (nA != nB || memcmp(a, b, nA) != 0) {
                result = 0;
                break;
            }
            if (pDigest) digest.Update(a, nA);
            if (nA < kChunk) break;
        }
        closeAll();
        if (pDigest && result > 0) *pDigest = digest.Value();
        return result;
    }
    if (bMd5 && fs[0]->GetCapability(TVFS_CAP_MD5) && fs[1]->GetCapability(TVFS_CAP_MD5)) {
        Md5Crc md5[2];
        int64_t len[2] = {0, 0};
        for (int s = 0; s < 2; s++)
            if (!fs[s]->GetFileCrc(path[s], md5[s], len[s], k, e)) return failed();
        return len[0] == len[1] && md5[0] == md5[1] ? 1 : 0;
    }
    return -1;
}
