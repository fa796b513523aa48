// A gzip file compressed block by block on several threads (see zor-gzblocks.h).
#include "zor-gzblocks.h"

#include "zor-crc32.h"
#include "zor-error.h"
#include "zor-file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <zlib.h>

namespace {

// Bytes of the dictionary a block takes from the block before it (the
// deflate window).
constexpr size_t kDictBytes = 32768;

bool WriteAllBytes(int fd, const unsigned char* p, size_t n, int& code) {
    size_t done = 0;
    if (ZorWriteAllFd(fd, p, n, done)) return true;
    code = errno ? errno : EIO;
    return false;
}

void PutLe32(unsigned char* p, uint32_t v) {
    for (int i = 0; i < 4; i++) p[i] = (unsigned char)(v >> (8 * i));
}

} // namespace

struct ZorGzBlockFileStream::SBlock {
    std::shared_ptr<const std::string> pInput;
    std::shared_ptr<const std::string> pDict;
    std::shared_ptr<Segment> pSegment;               // the segment it belongs to
    std::shared_ptr<const Segment> pReady;           // an earlier segment written as it is
    int nLevel = 1;
    bool bLast = false;
    std::string out;
    uint32_t nCrc = 0;
    bool bOk = false;
    std::thread thread;

    // Raw deflate of the input; a block that is not the last ends on a byte
    // boundary (sync flush) without the final-block bit, so the next block's
    // stream continues it.
    void Compress() {
        const std::string& in = *pInput;
        nCrc = ZorCrc32(0, in.data(), in.size());
        z_stream zs;
        memset(&zs, 0, sizeof(zs));
        if (deflateInit2(&zs, nLevel, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) return;
        bool bGood = true;
        if (pDict && !pDict->empty()) {
            const size_t n = std::min(kDictBytes, pDict->size());
            bGood = deflateSetDictionary(&zs, (const Bytef*)pDict->data() + pDict->size() - n, (uInt)n) == Z_OK;
        }
        out.resize(deflateBound(&zs, (uLong)in.size()) + 64);
        zs.next_in = (Bytef*)in.data();
        zs.avail_in = (uInt)in.size();
        size_t nDone = 0;
        while (bGood) {
            zs.next_out = (Bytef*)out.data() + nDone;
            zs.avail_out = (uInt)(out.size() - nDone);
            const int rc = deflate(&zs, bLast ? Z_FINISH : Z_SYNC_FLUSH);
            nDone = out.size() - zs.avail_out;
            if (rc == Z_STREAM_END) break;
            if (rc != Z_OK && (rc != Z_BUF_ERROR || zs.avail_out > 0)) {
                bGood = false;
                break;
            }
            if (!bLast && zs.avail_in == 0 && zs.avail_out > 0) break; // flushed
            if (zs.avail_out == 0) out.resize(out.size() * 2);
        }
        deflateEnd(&zs);
        out.resize(nDone);
        bOk = bGood;
    }
};

ZorGzBlockFileStream::ZorGzBlockFileStream() = default;

ZorGzBlockFileStream::~ZorGzBlockFileStream() {
    FinishOnDestroy();
}

bool ZorGzBlockFileStream::OpenWrite(const CWideString& sPath, bool bAtomic, CWideString& sErr, int nLevel,
                                     int nThreads, int nBlockSize) {
    if (!OpenWriteFd(sPath, bAtomic, sErr)) return false;
    m_nLevel = std::clamp(nLevel, 1, 9);
    m_nMaxPending = (size_t)std::max(1, nThreads);
    m_nBufSize = std::max(1, nBlockSize);
    m_pBuf = new unsigned char[(size_t)m_nBufSize];
    return true;
}

bool ZorGzBlockFileStream::Submit(bool bLast, CWideString& sErr) {
    auto pBlock = std::make_unique<SBlock>();
    pBlock->pInput = std::make_shared<const std::string>((const char*)m_pBuf, (size_t)m_nEnd);
    pBlock->pDict = m_pPrevInput;
    pBlock->nLevel = m_nLevel;
    pBlock->bLast = bLast;
    pBlock->pSegment = m_pSegment;
    if (m_pSegment) ++m_pSegment->m_nBlocks;
    m_nEnd = 0;
    m_pPrevInput = pBlock->pInput;
    while (m_Pending.size() >= m_nMaxPending)
        if (!Retire(sErr)) return false;
    SBlock* p = pBlock.get();
    try {
        p->thread = std::thread([p] { p->Compress(); });
    } catch (const std::system_error&) {
        p->Compress(); // no thread to be had: this one does it
    }
    m_Pending.push_back(std::move(pBlock));
    return true;
}

bool ZorGzBlockFileStream::Retire(CWideString& sErr) {
    std::unique_ptr<SBlock> pBlock = std::move(m_Pending.front());
    m_Pending.pop_front();
    if (pBlock->thread.joinable()) pBlock->thread.join();
    if (!pBlock->pReady && !pBlock->bOk) {
        sErr.AppendFormat(u"cannot write file: %s: gzip: compression failed", m_sPath);
        return false;
    }
    int code = 0;
    if (!m_bHeaderWritten) {
        // Deflate, no flags, no time, no extra flags, Unix.
        static const unsigned char kHeader[10] = {0x1F, 0x8B, 8, 0, 0, 0, 0, 0, 0, 3};
        if (!WriteAllBytes(m_fd, kHeader, sizeof(kHeader), code)) {
            sErr.AppendFormat(u"cannot write file: %s: %s", m_sPath, ZorErrorText(code));
            return false;
        }
        m_bHeaderWritten = true;
    }
    const std::string& out = pBlock->pReady ? pBlock->pReady->m_Deflated : pBlock->out;
    if (!WriteAllBytes(m_fd, (const unsigned char*)out.data(), out.size(), code)) {
        sErr.AppendFormat(u"cannot write file: %s: %s", m_sPath, ZorErrorText(code));
        return false;
    }
    const uint64_t n = pBlock->pReady ? pBlock->pReady->m_nLength : pBlock->pInput->size();
    const uint32_t nCrc = pBlock->pReady ? pBlock->pReady->m_nCrc : pBlock->nCrc;
    m_nCrc = (uint32_t)crc32_combine(m_nCrc, nCrc, (z_off_t)n);
    m_nTotal += n;
    if (Segment* pSeg = pBlock->pSegment.get()) {
        pSeg->m_Deflated += out;
        pSeg->m_nCrc = (uint32_t)crc32_combine(pSeg->m_nCrc, nCrc, (z_off_t)n);
        pSeg->m_nLength += n;
        ++pSeg->m_nWritten;
    }
    return true;
}

bool ZorGzBlockFileStream::Refuse(CWideString& sErr) {
    sErr.AppendFormat(u"cannot write file: %s: the stream is not open for this segment", m_sPath);
    return Failed();
}

bool ZorGzBlockFileStream::Failed() {
    m_bFailedWrite = true;
    return false;
}

bool ZorGzBlockFileStream::BeginSegment(CWideString& sErr) {
    if (m_fd < 0 || !m_bWrite || m_bFailedWrite || m_pSegment) return Refuse(sErr);
    if (m_nEnd > 0 && !Submit(false, sErr)) return Failed();
    m_pSegment = std::make_shared<Segment>();
    m_pPrevInput.reset();
    return true;
}

bool ZorGzBlockFileStream::EndSegment(std::shared_ptr<Segment>& pSegment, CWideString& sErr) {
    pSegment.reset();
    if (!m_pSegment || m_fd < 0 || m_bFailedWrite) return Refuse(sErr);
    // An empty segment still gets its block: its flush marker.
    if ((m_nEnd > 0 || m_pSegment->m_nBlocks == 0) && !Submit(false, sErr)) return Failed();
    m_pSegment->m_bClosed = true;
    pSegment = std::move(m_pSegment);
    m_pSegment.reset();
    m_pPrevInput.reset();
    return true;
}

bool ZorGzBlockFileStream::PutSegment(const std::shared_ptr<const Segment>& pSegment, CWideString& sErr) {
    if (!pSegment || !pSegment->IsComplete() || m_pSegment || m_fd < 0 || !m_bWrite || m_bFailedWrite)
        return Refuse(sErr);
    if (m_nEnd > 0 && !Submit(false, sErr)) return Failed();
    while (m_Pending.size() >= m_nMaxPending)
        if (!Retire(sErr)) return Failed();
    auto pBlock = std::make_unique<SBlock>();
    pBlock->pReady = pSegment;
    pBlock->bOk = true;
    m_Pending.push_back(std::move(pBlock));
    m_pPrevInput.reset();
    return true;
}

bool ZorGzBlockFileStream::FlushBuffer(CWideString& sErr) {
    if (m_nEnd == 0) return true;
    return Submit(false, sErr);
}

bool ZorGzBlockFileStream::FinishWrite(CWideString& sErr) {
    if (!Submit(true, sErr)) return false;
    while (!m_Pending.empty())
        if (!Retire(sErr)) return false;
    unsigned char trailer[8];
    PutLe32(trailer, m_nCrc);
    PutLe32(trailer + 4, (uint32_t)m_nTotal); // the length modulo 2^32
    int code = 0;
    if (!WriteAllBytes(m_fd, trailer, sizeof(trailer), code)) {
        sErr.AppendFormat(u"cannot write file: %s: %s", m_sPath, ZorErrorText(code));
        return false;
    }
    m_pPrevInput.reset();
    return true;
}

void ZorGzBlockFileStream::Abandon() {
    for (auto& pBlock : m_Pending)
        if (pBlock->thread.joinable()) pBlock->thread.join();
    m_Pending.clear();
    m_pPrevInput.reset();
    m_pSegment.reset();
}
