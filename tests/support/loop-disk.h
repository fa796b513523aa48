// A fresh file system in an image file, mounted through a loop device for
// the length of a test (root only; Why() says what was missing), and the
// files below a folder with their contents.
#pragma once

#include "test-tmp.h"

#include <sys/mount.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

enum class ELoopDisk { Ext4Whole, Ext4, Exfat };

inline std::string LoopDiskSh(const std::string& cmd) {
    std::string out;
    if (FILE* p = popen(cmd.c_str(), "r")) {
        char buf[256];
        while (fgets(buf, sizeof buf, p)) out += buf;
        if (pclose(p) != 0) return std::string();
    }
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
    return out;
}

// A fresh file system of the kind in an image file, mounted at mnt.
class CLoopDisk {
public:
    // bFresh false: the image is there already.
    CLoopDisk(const std::string& img, const std::string& mnt, ELoopDisk kind, bool bFresh = true) : m_mnt(mnt) {
        if (geteuid() != 0) {
            m_why = "needs root to mount a loop device";
            return;
        }
        std::filesystem::create_directories(mnt);
        const std::string make =
            !bFresh                     ? "test -f " + img
            : kind == ELoopDisk::Exfat      ? "truncate -s 64M " + img + " && mkfs.exfat " + img
            : kind == ELoopDisk::Ext4Whole ? "truncate -s 32M " + img + " && mkfs.ext4 -q -F -I 128 " + img
                                        : "truncate -s 32M " + img + " && mkfs.ext4 -q -F " + img;
        if (system((make + " >/dev/null 2>&1").c_str()) != 0) {
            m_why = "cannot make the image: " + make;
            return;
        }
        if (kind == ELoopDisk::Exfat) {
            // The user-space driver wants a block device.
            m_loop = LoopDiskSh("losetup -f --show " + img);
            if (m_loop.empty() || system(("mount.exfat-fuse " + m_loop + " " + mnt + " >/dev/null 2>&1").c_str()) != 0) {
                m_why = "no exfat-fuse (mount.exfat-fuse) or loop device";
                return;
            }
        } else if (system(("mount -o loop " + img + " " + mnt + " 2>/dev/null").c_str()) != 0) {
            m_why = "no loop device to mount an ext4 image";
            return;
        }
        m_bMounted = true;
    }
    ~CLoopDisk() { Unmount(); }
    void Unmount() {
        if (m_bMounted && umount2(m_mnt.c_str(), 0) != 0) umount2(m_mnt.c_str(), MNT_DETACH);
        if (!m_loop.empty()) system(("losetup -d " + m_loop + " 2>/dev/null").c_str());
        m_bMounted = false;
        m_loop.clear();
    }
    bool Mounted() const { return m_bMounted; }
    const std::string& Why() const { return m_why; }

private:
    std::string m_mnt, m_why, m_loop;
    bool m_bMounted = false;
};

inline std::string ReadWhole(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return TvStreamText(f);
}

// The files below root (the data folder left out), with their contents.
inline std::map<std::string, std::string> DiskFiles(const std::string& root) {
    std::map<std::string, std::string> out;
    for (auto& e : std::filesystem::recursive_directory_iterator(root)) {
        const std::string rel = std::filesystem::relative(e.path(), root).string();
        if (rel.rfind("_tvdata_", 0) == 0 || rel.rfind("lost+found", 0) == 0 || !e.is_regular_file()) continue;
        out[rel] = ReadWhole(e.path());
    }
    return out;
}

