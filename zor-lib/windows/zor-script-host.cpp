// The script host over the embedded engine (zor-duktape.c).
#include "zor-script-host.h"

#include "zor-time.h"
#include "zor-unicode.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csetjmp>
#include <cstdlib>
#include <cstring>

#include "duktape.h"

namespace {

std::atomic<int64_t> g_nTimeLimitMs{5000};
// The deadline of the evaluation or call whose host function runs on this
// thread (0: none), for host functions that wait.
thread_local int64_t t_nHostCallDeadlineMs = 0;

// A monotonic reading for the script budget. A virtual test clock does not
// move while a script computes, so a budget read from it would never run
// out: the real clock stands in then.
int64_t BudgetNowMs() {
    ZorClock& c = ZorGetClock();
    if (!c.IsVirtual()) return c.MonotonicMs();
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Each block carries its size in front, so that the heap total is known.
struct alignas(16) BlockHeader {
    size_t nSize;
};

} // namespace

struct ZorScriptHost::State {
    duk_context* ctx = nullptr;
    size_t nHeapInUse = 0;
    int64_t nDeadlineMs = 0; // 0: no call running
    std::vector<ZorScriptFunction> functions;
    // Set while an entry point runs: the fatal handler returns there.
    jmp_buf* pFatalJump = nullptr;
    CNarrowString sFatal;
    // Results and errors of host functions, kept here so that the engine's
    // non-local error exits never cross a live C++ object.
    CNarrowString sResult;
    CNarrowString sError;
};

extern "C" int zor_script_timed_out(void* udata) {
    auto* st = static_cast<ZorScriptHost::State*>(udata);
    return st && st->nDeadlineMs != 0 && BudgetNowMs() > st->nDeadlineMs ? 1 : 0;
}

namespace {

void* HostAlloc(void* udata, duk_size_t size) {
    auto* st = static_cast<ZorScriptHost::State*>(udata);
    if (size == 0) return nullptr;
    if (size > ZorScriptHost::kHeapLimit || st->nHeapInUse + size > ZorScriptHost::kHeapLimit) return nullptr;
    auto* h = static_cast<BlockHeader*>(malloc(sizeof(BlockHeader) + size));
    if (!h) return nullptr;
    h->nSize = size;
    st->nHeapInUse += size;
    return h + 1;
}

void HostFree(void* udata, void* ptr) {
    if (!ptr) return;
    auto* st = static_cast<ZorScriptHost::State*>(udata);
    BlockHeader* h = static_cast<BlockHeader*>(ptr) - 1;
    st->nHeapInUse -= h->nSize;
    free(h);
}

void* HostRealloc(void* udata, void* ptr, duk_size_t size) {
    auto* st = static_cast<ZorScriptHost::State*>(udata);
    if (!ptr) return HostAlloc(udata, size);
    if (size == 0) {
        HostFree(udata, ptr);
        return nullptr;
    }
    BlockHeader* h = static_cast<BlockHeader*>(ptr) - 1;
    const size_t old = h->nSize;
    if (size > old && (size > ZorScriptHost::kHeapLimit || st->nHeapInUse - old + size > ZorScriptHost::kHeapLimit))
        return nullptr;
    auto* n = static_cast<BlockHeader*>(realloc(h, sizeof(BlockHeader) + size));
    if (!n) return nullptr;
    n->nSize = size;
    st->nHeapInUse = st->nHeapInUse - old + size;
    return n + 1;
}

// Reached only for an error outside every protected call. It must not return
// into the engine: it goes back to the entry point that is running, which
// then fails and drops the engine.
void HostFatal(void* udata, const char* msg) {
    auto* st = static_cast<ZorScriptHost::State*>(udata);
    st->sFatal = msg ? msg : "fatal script engine error";
    if (st->pFatalJump) longjmp(*st->pFatalJump, 1);
    abort(); // no entry point is running: the engine is not in use
}

ZorScriptHost::State* StateOf(duk_context* ctx) {
    duk_memory_functions f;
    duk_get_memory_functions(ctx, &f);
    return static_cast<ZorScriptHost::State*>(f.udata);
}

// Calls the host function of the running native call. The engine may leave
// by a non-local exit in duk_to_string, duk_push_* and duk_error: no C++
// object with a destructor is alive at those points.
duk_ret_t Trampoline(duk_context* ctx) {
    ZorScriptHost::State* st = StateOf(ctx);
    // the time limit covers host functions too: a script that spends its time
    // in them ends like one that computes
    if (zor_script_timed_out(st)) {
        (void)duk_error(ctx, DUK_ERR_RANGE_ERROR, "execution timeout");
        return 0;
    }
    const int idx = duk_get_current_magic(ctx);
    const duk_idx_t n = duk_get_top(ctx);
    for (duk_idx_t i = 0; i < n; ++i) duk_to_string(ctx, i);
    int outcome = 0; // 0 error, else 1 + value kind
    bool bValue = false;
    int32_t nValue = 0;
    {
        std::vector<CNarrowString> args;
        for (duk_idx_t i = 0; i < n; ++i) {
            duk_size_t len = 0;
            const char* s = duk_get_lstring(ctx, i, &len);
            args.emplace_back(s ? s : "", (int)len);
        }
        ZorScriptValue v;
        st->sError.Empty();
        t_nHostCallDeadlineMs = st->nDeadlineMs;
        if (idx >= 0 && idx < (int)st->functions.size() && st->functions[idx](args, v, st->sError)) {
            outcome = 1 + (int)v.m_kind;
            bValue = v.m_bValue;
            nValue = v.m_nValue;
            st->sResult = v.m_sValue;
        }
        t_nHostCallDeadlineMs = 0;
    }
    if (zor_script_timed_out(st)) outcome = -1;
    switch (outcome) {
    case -1:
        (void)duk_error(ctx, DUK_ERR_RANGE_ERROR, "execution timeout");
        return 0;
    case 0:
        (void)duk_error(ctx, DUK_ERR_ERROR, "%s", st->sError.GetString());
        return 0;
    case 1 + ZorScriptValue::kUndefined:
        return 0;
    case 1 + ZorScriptValue::kBool:
        duk_push_boolean(ctx, bValue);
        return 1;
    case 1 + ZorScriptValue::kInt:
        duk_push_int(ctx, nValue);
        return 1;
    default:
        duk_push_lstring(ctx, st->sResult.GetString(), (duk_size_t)st->sResult.GetLength());
        return 1;
    }
}

struct AddArgs {
    const char* name;
    int nArgs;
    int idx;
};

duk_ret_t SafeAdd(duk_context* ctx, void* udata) {
    auto* a = static_cast<AddArgs*>(udata);
    duk_push_global_object(ctx);
    duk_push_c_function(ctx, Trampoline, a->nArgs < 0 ? DUK_VARARGS : a->nArgs);
    duk_set_magic(ctx, -1, a->idx);
    duk_put_prop_string(ctx, -2, a->name);
    duk_pop(ctx);
    return 0;
}

struct CallArgs {
    const char* name;
    const std::vector<CNarrowString>* args;
};

duk_ret_t SafeCall(duk_context* ctx, void* udata) {
    auto* a = static_cast<CallArgs*>(udata);
    duk_push_global_object(ctx);
    duk_get_prop_string(ctx, -1, a->name);
    for (const CNarrowString& s : *a->args) duk_push_lstring(ctx, s.GetString(), (duk_size_t)s.GetLength());
    duk_call(ctx, (duk_idx_t)a->args->size());
    if (duk_is_undefined(ctx, -1) || duk_is_null(ctx, -1))
        duk_push_string(ctx, "");
    else
        duk_dup(ctx, -1);
    duk_to_string(ctx, -1);
    return 1;
}

duk_ret_t SafeEval(duk_context* ctx, void* udata) {
    auto* s = static_cast<const CNarrowString*>(udata);
    duk_push_lstring(ctx, s->GetString(), (duk_size_t)s->GetLength());
    duk_push_string(ctx, "auto-config");
    duk_compile(ctx, 0);
    duk_call(ctx, 0);
    return 0;
}

duk_ret_t SafeHas(duk_context* ctx, void*) {
    duk_push_global_object(ctx);
    duk_get_prop_string(ctx, -1, duk_get_string(ctx, 0));
    duk_push_boolean(ctx, duk_is_function(ctx, -1));
    return 1;
}

// The error at the top of the stack as text ("Error: ..."), popped.
CWideString TakeError(duk_context* ctx) {
    const char* s = duk_safe_to_string(ctx, -1);
    CWideString e = Utf8ToWide(s ? s : "script error");
    duk_pop(ctx);
    return e;
}

} // namespace

void ZorScriptSetTimeLimitMs(int64_t nMs) {
    g_nTimeLimitMs.store(nMs > 0 ? nMs : 1);
}

int64_t ZorScriptGetTimeLimitMs() {
    return g_nTimeLimitMs.load();
}

int64_t ZorScriptTimeLeftMs() {
    if (t_nHostCallDeadlineMs == 0) return -1;
    return std::max<int64_t>(0, t_nHostCallDeadlineMs - BudgetNowMs());
}

ZorScriptHost::ZorScriptHost() : m_p(std::make_unique<State>()) {}

ZorScriptHost::~ZorScriptHost() {
    Destroy();
}

bool ZorScriptHost::IsCreated() const {
    return m_p->ctx != nullptr;
}

size_t ZorScriptHost::HeapInUse() const {
    return m_p->nHeapInUse;
}

void ZorScriptHost::Destroy() {
    if (m_p->ctx) {
        jmp_buf jb;
        m_p->pFatalJump = &jb;
        if (setjmp(jb) == 0) duk_destroy_heap(m_p->ctx);
        m_p->pFatalJump = nullptr;
        m_p->ctx = nullptr;
    }
    m_p->functions.clear();
    m_p->nDeadlineMs = 0;
}

bool ZorScriptHost::Create(CWideString& err) {
    Destroy();
    m_p->ctx = duk_create_heap(HostAlloc, HostRealloc, HostFree, m_p.get(), HostFatal);
    if (!m_p->ctx) {
        err += u"cannot create the script engine";
        return false;
    }
    return true;
}

// The guarded part of every entry point: a deadline for the engine's time-out
// hook and a return point for its fatal handler.
#define ZOR_SCRIPT_ENTER(st, err)                                                                              \
    if (!(st)->ctx) {                                                                                          \
        err += u"script engine not created";                                                                   \
        return false;                                                                                          \
    }                                                                                                          \
    jmp_buf jb;                                                                                                \
    (st)->pFatalJump = &jb;                                                                                    \
    (st)->nDeadlineMs = BudgetNowMs() + g_nTimeLimitMs.load();                                                 \
    if (setjmp(jb) != 0) {                                                                                     \
        (st)->pFatalJump = nullptr;                                                                            \
        (st)->nDeadlineMs = 0;                                                                                 \
        err += Utf8ToWide((st)->sFatal);                                                                       \
        (st)->ctx = nullptr; /* unusable after a fatal error; its memory is given up */                      \
        return false;                                                                                          \
    }

bool ZorScriptHost::AddFunction(const char* name, int nArgs, ZorScriptFunction fn, CWideString& err) {
    State* st = m_p.get();
    st->functions.push_back(std::move(fn));
    AddArgs a{name, nArgs, (int)st->functions.size() - 1};
    ZOR_SCRIPT_ENTER(st, err)
    const bool ok = duk_safe_call(st->ctx, SafeAdd, &a, 0, 1) == DUK_EXEC_SUCCESS;
    st->nDeadlineMs = 0; // the results and error texts are read outside the limit
    if (!ok) err += TakeError(st->ctx);
    else duk_pop(st->ctx);
    st->pFatalJump = nullptr;
    st->nDeadlineMs = 0;
    return ok;
}

bool ZorScriptHost::Evaluate(const CNarrowString& script, CWideString& err) {
    State* st = m_p.get();
    ZOR_SCRIPT_ENTER(st, err)
    const bool ok = duk_safe_call(st->ctx, SafeEval, (void*)&script, 0, 1) == DUK_EXEC_SUCCESS;
    st->nDeadlineMs = 0; // the results and error texts are read outside the limit
    if (!ok) err += TakeError(st->ctx);
    else duk_pop(st->ctx);
    st->pFatalJump = nullptr;
    st->nDeadlineMs = 0;
    return ok;
}

bool ZorScriptHost::HasFunction(const char* name) {
    State* st = m_p.get();
    CWideString err;
    ZOR_SCRIPT_ENTER(st, err)
    duk_push_string(st->ctx, name);
    bool has = false;
    if (duk_safe_call(st->ctx, SafeHas, nullptr, 1, 1) == DUK_EXEC_SUCCESS) has = duk_get_boolean(st->ctx, -1);
    duk_pop(st->ctx);
    st->pFatalJump = nullptr;
    st->nDeadlineMs = 0;
    return has;
}

bool ZorScriptHost::Call(const char* name, const std::vector<CNarrowString>& args, CNarrowString& result,
                         CWideString& err) {
    State* st = m_p.get();
    CallArgs a{name, &args};
    ZOR_SCRIPT_ENTER(st, err)
    const bool ok = duk_safe_call(st->ctx, SafeCall, &a, 0, 1) == DUK_EXEC_SUCCESS;
    st->nDeadlineMs = 0; // the results and error texts are read outside the limit
    if (!ok) {
        err += TakeError(st->ctx);
    } else {
        duk_size_t len = 0;
        const char* s = duk_get_lstring(st->ctx, -1, &len);
        result = CNarrowString(s ? s : "", (int)len);
        duk_pop(st->ctx);
    }
    st->pFatalJump = nullptr;
    st->nDeadlineMs = 0;
    return ok;
}
