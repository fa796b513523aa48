// A gzip file whose compression runs on several threads.
//
// The content is cut into blocks; each block is compressed on a thread of its
// own (with the end of the block before it as its dictionary, so the ratio
// stays close to one stream's) and the results are written in order as one
// deflate stream, followed by the CRC and length of the whole content. The
// file is one ordinary gzip member, read by ZorGzFileStream and by any other
// gzip reader.
//
// Segments: a stretch of content may be compressed on its own (no dictionary
// from the bytes before it, none handed to the bytes after it). Its deflate
// bytes, CRC and length are then kept by the caller, and a later file whose
// content holds the same stretch takes them as they are instead of
// compressing it again.
//
// Writing, closing, the atomic mode and error reports are ZorFileStream's.
#pragma once

#include "zor-stream.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <string>

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

    // The compressed form of one segment: complete once every block of it
    // has been written (at the latest when the stream is closed).
    struct Segment {
        std::string m_Deflated; // raw deflate, byte-aligned, without a final block
        uint32_t m_nCrc = 0;
        uint64_t m_nLength = 0; // content bytes
        int m_nBlocks = 0;      // blocks submitted
        int m_nWritten = 0;     // of them written
        bool m_bClosed = false; // EndSegment was called
        bool IsComplete() const { return m_bClosed && m_nWritten == m_nBlocks; }
    };
    // The bytes written from now until EndSegment form a segment.
    bool BeginSegment(CWideString& sErr);
    // Ends the segment begun last; pSegment fills as its blocks are written.
    bool EndSegment(std::shared_ptr<Segment>& pSegment, CWideString& sErr);
    // Writes a complete segment of an earlier stream (the same level) in
    // place of its content. Not inside a segment.
    bool PutSegment(const std::shared_ptr<const Segment>& pSegment, CWideString& sErr);

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
    // A segment call out of place, and a failure: the stream fails from then on.
    bool Refuse(CWideString& sErr);
    bool Failed();

    int m_nLevel = 1;
    size_t m_nMaxPending = 4;
    std::deque<std::unique_ptr<SBlock>> m_Pending;
    std::shared_ptr<const std::string> m_pPrevInput; // the dictionary of the next block
    std::shared_ptr<Segment> m_pSegment;             // the segment being written, if any
    uint32_t m_nCrc = 0;
    uint64_t m_nTotal = 0;
    bool m_bHeaderWritten = false;
};
