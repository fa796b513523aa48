// A gzip file whose compression runs on several threads.
//
// The content is cut into blocks; each block is compressed on a thread of its
// own (with the end of the block before it as its dictionary, so the ratio
// stays close to one stream's) and the results are written in order as one
// deflate stream, followed by the CRC and length of the whole content. The
// file is one ordinary gzip member, read by ZorGzFileStream and by any other
// gzip reader.
//
// Writing, closing, the atomic mode and error reports are ZorFileStream's.
#pragma once

#include "zor-stream.h"

#include <cstdint>
#include <deque>
#include <memory>

class ZorGzBlockFileStream : public ZorFileStream {
public:
    // Content bytes of one block unless the caller asks for another size.
    static constexpr int kDefaultBlockSize = 1 << 20;

    ZorGzBlockFileStream();
    ~ZorGzBlockFileStream() override;

    // nLevel: zlib's compression level 1 (fastest) to 9 (smallest).
    // nThreads: blocks compressed at the same time (at least 1; 1 still
    // compresses on a thread beside the writer). nBlockSize: content bytes
    // of one block (at least 64 KiB outside tests).
    bool OpenWrite(const CWideString& sPath, bool bAtomic, CWideString& sErr, int nLevel = 1, int nThreads = 4,
                   int nBlockSize = kDefaultBlockSize);

protected:
    bool FlushBuffer(CWideString& sErr) override;
    bool FinishWrite(CWideString& sErr) override;
    void Abandon() override;

private:
    struct SBlock;
    // Starts the compression of the buffered bytes (of nothing when the
    // buffer is empty) as the next block.
    bool Submit(bool bLast, CWideString& sErr);
    // Waits for the oldest block and writes its result.
    bool Retire(CWideString& sErr);

    int m_nLevel = 1;
    size_t m_nMaxPending = 4;
    std::deque<std::unique_ptr<SBlock>> m_Pending;
    std::shared_ptr<const std::string> m_pPrevInput; // the dictionary of the next block
    uint32_t m_nCrc = 0;
    uint64_t m_nTotal = 0;
    bool m_bHeaderWritten = false;
};
