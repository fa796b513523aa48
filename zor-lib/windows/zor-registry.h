// The registry: keys with named string and DWORD values under two root keys.
//
// Linux has no registry, so the values live in a small store of our own, one
// text file per hive:
//   current user  (HKEY_CURRENT_USER):  $XDG_CONFIG_HOME/torvane/registry/user.reg
//                                        ($XDG_CONFIG_HOME defaults to ~/.config)
//   this machine  (HKEY_LOCAL_MACHINE): /etc/torvane/registry/machine.reg, read-only
// The environment variable TORVANE_REGISTRY_DIR, when set, names the folder
// that holds both files instead.
//
// Hive file layout (UTF-8, LF line ends):
//   TORVANE REGISTRY 1                          <- header line, required
//   <blank line>
//   [HKEY_CURRENT_USER\Software\Zorvek Systems] <- one section per key
//   "Name"="text"                               <- string value
//   "Other"=dword:0000002a                      <- DWORD value, 8 hex digits
//   @="text"                                    <- the key's default (unnamed) value
// In quoted names and texts a backslash escapes: \\ \" \n, \xHH for the other
// control characters and \uHHHH for a lone UTF-16 surrogate; everything else
// is the text's UTF-8 bytes. A section names the full key path; a key's
// parents exist with it. Sections are written parents first, sub-keys and
// values in the order of the library's case fold.
//
// Key and value names compare without regard to case (ZorFoldUnit) and keep
// the case they were created with.
//
// Concurrency: readers read the file as it stands (writers replace it
// atomically). A writer takes an exclusive flock on "<hive>.lock", re-reads
// the hive, changes it, writes "<hive>.tmp", fsyncs it, renames it over the
// hive and fsyncs the folder. A hive file that cannot be parsed is an error
// for every reader and writer; it is never replaced by an empty hive.
//
// A hive file larger than kZorRegMaxHiveFileBytes (64 MiB) is not read: it
// is an error for every reader and writer, naming the file, and the Quiet
// getters keep their defaults.
#pragma once

#include "zor-string.h"

#include <cstdint>
#include <vector>

inline constexpr int64_t kZorRegMaxHiveFileBytes = int64_t(64) << 20;

// Root keys. Only the current user's and the machine's hives exist.
enum class ZorRegRoot : uint32_t {};
using HKEY = ZorRegRoot;
inline constexpr HKEY HKEY_CURRENT_USER = HKEY(0x80000001u);
inline constexpr HKEY HKEY_LOCAL_MACHINE = HKEY(0x80000002u);

// Access masks, with their usual values. Modifying operations need
// KEY_SET_VALUE or KEY_CREATE_SUB_KEY in the access they are given; the
// 32/64-bit view flags are accepted and mean nothing here.
inline constexpr uint32_t KEY_QUERY_VALUE = 0x0001;
inline constexpr uint32_t KEY_SET_VALUE = 0x0002;
inline constexpr uint32_t KEY_CREATE_SUB_KEY = 0x0004;
inline constexpr uint32_t KEY_ENUMERATE_SUB_KEYS = 0x0008;
inline constexpr uint32_t KEY_NOTIFY = 0x0010;
inline constexpr uint32_t KEY_WOW64_64KEY = 0x0100;
inline constexpr uint32_t KEY_WOW64_32KEY = 0x0200;
inline constexpr uint32_t KEY_READ = 0x20019;
inline constexpr uint32_t KEY_WRITE = 0x20006;
inline constexpr uint32_t KEY_ALL_ACCESS = 0xF003F;

// "HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE", or "(unknown root key)".
const char* ZorRegRootName(HKEY root);

// Path of the hive file of a root key (UTF-8); false for an unknown root, or
// when no home folder can be found for the current user's hive.
bool ZorRegHiveFilePath(HKEY root, CNarrowString& path, CWideString& err);

// A hive file that cannot be parsed is never written over: every write to
// it fails. This sets it aside, under the hive's writer lock, as
// "<name>-bad.reg" (or "<name>-bad-2.reg" and so on: an earlier one stays),
// mode 0600, so that a new hive can start. True when the hive is sound or
// missing (badPath empty) or was set aside (badPath its new name, why the
// fault found); false with err when it cannot be read or renamed.
bool ZorRegSetAsideDamagedHive(HKEY root, CNarrowString& badPath, CWideString& why, CWideString& err);

// A registry key: the root and the sub-key path (for messages). Open checks
// that the key exists (it does not create it); the object holds no system
// resource.
class CSafeRegKey {
public:
    CSafeRegKey() = default;

    // "Cannot open registry key '%s' in '%s': %s" (sub-key, root name, reason).
    bool Open(HKEY root, const CWideString& sSubKey, CWideString& err, uint32_t nAccess = KEY_READ);
    void Close() { m_bOpen = false; }
    bool IsOpen() const { return m_bOpen; }
    HKEY GetRoot() const { return m_hRoot; }
    const CWideString& GetPath() const { return m_sPath; }

    // The names of the key's direct sub-keys, in case-fold order.
    bool EnumSubKeys(std::vector<CWideString>& names, CWideString& err) const;

private:
    HKEY m_hRoot = HKEY_CURRENT_USER;
    CWideString m_sPath;
    uint32_t m_nAccess = 0;
    bool m_bOpen = false;
};

// Reads a string or DWORD value; any failure leaves the out value unchanged,
// so callers preset their defaults.
void RegGetStringValueQuiet(CWideString& sValue, HKEY root, const CWideString& sSubKey,
                            const CWideString& sName, uint32_t nAccess = KEY_READ);
void RegGetDwordValueQuiet(uint32_t& nValue, HKEY root, const CWideString& sSubKey, const CWideString& sName,
                           uint32_t nAccess = KEY_READ);
bool RegGetDwordValue(uint32_t& nValue, HKEY root, const CWideString& sSubKey, const CWideString& sName,
                      CWideString& err, uint32_t nAccess = KEY_READ);
// Reads a string value with an error text (the Quiet form's sibling).
bool RegGetStringValue(CWideString& sValue, HKEY root, const CWideString& sSubKey, const CWideString& sName,
                       CWideString& err, uint32_t nAccess = KEY_READ);

// Create the key (and its parents) when missing and set the value.
bool RegSetStringValue(const CWideString& sText, HKEY root, const CWideString& sSubKey,
                       const CWideString& sName, CWideString& err, uint32_t nAccess = KEY_READ | KEY_WRITE);
bool RegSetDwordValue(uint32_t nValue, HKEY root, const CWideString& sSubKey, const CWideString& sName,
                      CWideString& err, uint32_t nAccess = KEY_READ | KEY_WRITE);
void RegSetDwordValueQuiet(uint32_t nValue, HKEY root, const CWideString& sSubKey, const CWideString& sName,
                           uint32_t nAccess = KEY_READ | KEY_WRITE);

// Delete a value, or the sub-key sSubKey of sKey with all its sub-keys and
// values (an empty sSubKey empties sKey but keeps it); errors are dropped.
void RegDeleteValueQuiet(HKEY root, const CWideString& sSubKey, const CWideString& sName,
                         uint32_t nAccess = KEY_READ | KEY_WRITE);
void RegDeleteKeyTreeQuiet(HKEY root, const CWideString& sKey, const CWideString& sSubKey,
                           uint32_t nAccess = KEY_READ | KEY_WRITE);
// The same two with an error text; a missing value or key is not an error.
bool RegDeleteValue(HKEY root, const CWideString& sSubKey, const CWideString& sName, CWideString& err,
                    uint32_t nAccess = KEY_READ | KEY_WRITE);
bool RegDeleteKeyTree(HKEY root, const CWideString& sKey, const CWideString& sSubKey, CWideString& err,
                      uint32_t nAccess = KEY_READ | KEY_WRITE);

// Tests only: called by a writer at named points of a write while it holds
// the lock ("locked", "temp-written" before the rename, "renamed").
using ZorRegWriteHook = void (*)(const char* stage);
ZorRegWriteHook ZorRegSetWriteHook(ZorRegWriteHook hook);
