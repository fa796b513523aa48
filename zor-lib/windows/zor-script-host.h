// A JavaScript host for small scripts (proxy auto-config): one engine per
// object, global functions of the caller's own and nothing else added, every
// evaluation and call protected, bounded in time (a process-wide limit, 5 s by
// default) and in memory (a heap of at most 16 MiB). Running out of time or
// memory fails the call with the engine's error text; it never ends the
// process.
#pragma once

#include "zor-string.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

// The value a host function hands back to the script.
struct ZorScriptValue {
    enum Kind { kUndefined, kBool, kInt, kString };
    Kind m_kind = kUndefined;
    bool m_bValue = false;
    int32_t m_nValue = 0;
    CNarrowString m_sValue; // UTF-8
    static ZorScriptValue Bool(bool b) {
        ZorScriptValue v;
        v.m_kind = kBool;
        v.m_bValue = b;
        return v;
    }
    static ZorScriptValue Int(int32_t n) {
        ZorScriptValue v;
        v.m_kind = kInt;
        v.m_nValue = n;
        return v;
    }
    static ZorScriptValue String(const CNarrowString& s) {
        ZorScriptValue v;
        v.m_kind = kString;
        v.m_sValue = s;
        return v;
    }
};

// A host function: the script's arguments converted to strings (UTF-8).
// False fails the script's call with the text in err.
using ZorScriptFunction =
    std::function<bool(const std::vector<CNarrowString>& args, ZorScriptValue& result, CNarrowString& err)>;

// The time limit of one evaluation or call, milliseconds (default 5000).
void ZorScriptSetTimeLimitMs(int64_t nMs);
int64_t ZorScriptGetTimeLimitMs();
// Inside a host function: the milliseconds left of the running evaluation or
// call, for functions that wait (a host function that returns late fails the
// script's call). -1 elsewhere.
int64_t ZorScriptTimeLeftMs();

class ZorScriptHost {
public:
    static constexpr size_t kHeapLimit = 16u * 1024 * 1024;
    // Argument count of a function that takes any number.
    static constexpr int kAnyArgs = -1;

    ZorScriptHost();
    ~ZorScriptHost();
    ZorScriptHost(const ZorScriptHost&) = delete;
    ZorScriptHost& operator=(const ZorScriptHost&) = delete;

    // A fresh engine (an older one is destroyed).
    bool Create(CWideString& err);
    // A global function; nArgs fixed or kAnyArgs.
    bool AddFunction(const char* name, int nArgs, ZorScriptFunction fn, CWideString& err);
    // Runs the script text (UTF-8) at global level.
    bool Evaluate(const CNarrowString& script, CWideString& err);
    // True when the script defined a global function of that name.
    bool HasFunction(const char* name);
    // Calls a global function with string arguments. The result converted to
    // a string; undefined and null give an empty string.
    bool Call(const char* name, const std::vector<CNarrowString>& args, CNarrowString& result, CWideString& err);
    void Destroy();
    bool IsCreated() const;
    // Bytes the engine holds now.
    size_t HeapInUse() const;

    struct State; // engine, functions, budget (zor-script-host.cpp)

private:
    std::unique_ptr<State> m_p;
};
