// libFuzzer target of the reader of kept mount lists (a side's data folder
// and the profile's mirror folder keep one per pair of folders): any bytes
// are read without a crash, within the bound, and a list that reads writes
// back as text that reads as the same list.
#include "mounts-below.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace {

void Check(bool cond) {
    if (!cond) __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text((const char*)data, size);
    std::vector<CMountBelow> mounts, again;
    std::string err;
    if (!ParseMountsBelow(text, mounts, err)) {
        Check(!err.empty());
        return 0;
    }
    Check(mounts.size() <= kMaxMountsKept + 1);
    for (size_t i = 1; i < mounts.size(); ++i) Check(mounts[i - 1].sPoint < mounts[i].sPoint);
    // An older version's list is written anew only once its mounts are known.
    if (!mounts.empty() && !mounts[0].bKnown) return 0;
    Check(ParseMountsBelow(FormatMountsBelow(mounts), again, err));
    Check(MountLayoutChanges(mounts, again, true).empty());
    Check(again.size() == mounts.size());
    return 0;
}
