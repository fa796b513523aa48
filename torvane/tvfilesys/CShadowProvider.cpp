// The shadow-copy provider: nothing to provide on this platform.
#include "CShadowProvider.h"

#include "TvFsRecords.h"

bool CShadowProvider::GetShadowPath(const CWideString& path, CWideString& shadowPath, int& errKind,
                                    CWideString& err) {
    shadowPath.Empty();
    errKind = FSE_GENERAL;
    err += u"shadow copies are not available on this platform (locked files are read directly): " + path;
    return false;
}

CShadowProvider& GetShadowProvider() {
    static CShadowProvider s_provider;
    return s_provider;
}
