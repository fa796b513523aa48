// The 100,000-file side the engine benchmarks share: three folder levels of
// ten, 100 files of 100 B to 4 KB in each leaf, all with one fixed time.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace benchtree {

constexpr int kFanOut = 10, kFiles = 100;

inline bool WriteSide(const std::string& root) {
    if (mkdir(root.c_str(), 0755) != 0) return false;
    std::vector<char> buf(4096, 'x');
    char path[512];
    for (int a = 0; a < kFanOut; ++a)
        for (int b = 0; b < kFanOut; ++b)
            for (int c = 0; c < kFanOut; ++c) {
                snprintf(path, sizeof path, "%s/a%d", root.c_str(), a);
                mkdir(path, 0755);
                snprintf(path, sizeof path, "%s/a%d/b%d", root.c_str(), a, b);
                mkdir(path, 0755);
                snprintf(path, sizeof path, "%s/a%d/b%d/c%d", root.c_str(), a, b, c);
                if (mkdir(path, 0755) != 0) return false;
                for (int f = 0; f < kFiles; ++f) {
                    snprintf(path, sizeof path, "%s/a%d/b%d/c%d/file-%03d.dat", root.c_str(), a, b, c, f);
                    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL, 0644);
                    if (fd < 0) return false;
                    const size_t len = 100 + (size_t)((a * 1000 + b * 100 + c * 10 + f) * 37 % 3997);
                    const bool ok = write(fd, buf.data(), len) == (ssize_t)len;
                    close(fd);
                    struct timeval tv[2] = {{1600000000, 0}, {1600000000, 0}};
                    if (!ok || utimes(path, tv) != 0) return false;
                }
            }
    return true;
}

// Reads the stored attribute value of name in the open folder dfd (path
// dir): getxattrat where the kernel has it, else by the whole path.
inline void ReadStoredAttrs(int dfd, const std::string& dir, const char* name, char* buf, size_t n) {
    static const char kName[] = "user.torvane.attrs";
    struct {
        uint64_t value;
        uint32_t size, flags;
    } args{(uint64_t)(uintptr_t)buf, (uint32_t)n, 0};
    if (syscall(464 /* getxattrat */, dfd, name, AT_SYMLINK_NOFOLLOW, kName, &args, sizeof args) >= 0 ||
        (errno != ENOSYS && errno != EPERM))
        return;
    (void)lgetxattr((dir + "/" + name).c_str(), kName, buf, n);
}

// The bare baseline: readdir and one statx per entry, depth first; the
// number of entries. With bAttrs, each file and folder also has its stored
// attribute bits read (the extended attribute the local file system keeps
// them in), as every scan of a job must do.
inline size_t BareWalk(const std::string& dir, bool bAttrs = false) {
    int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd < 0) return 0;
    DIR* d = fdopendir(dfd);
    if (!d) {
        close(dfd);
        return 0;
    }
    std::vector<std::string> folders;
    size_t count = 0;
    while (struct dirent* de = readdir(d)) {
        const char* n = de->d_name;
        if (n[0] == '.' && (n[1] == 0 || (n[1] == '.' && n[2] == 0))) continue;
        struct statx st;
        if (statx(dfd, n, AT_SYMLINK_NOFOLLOW, STATX_TYPE | STATX_MODE | STATX_SIZE | STATX_MTIME, &st) != 0)
            continue;
        ++count;
        if (bAttrs && (S_ISREG(st.stx_mode) || S_ISDIR(st.stx_mode))) {
            char buf[32];
            ReadStoredAttrs(dfd, dir, n, buf, sizeof buf);
        }
        if (S_ISDIR(st.stx_mode)) folders.push_back(dir + "/" + n);
    }
    closedir(d);
    for (const std::string& f : folders) count += BareWalk(f, bAttrs);
    return count;
}

}  // namespace benchtree
