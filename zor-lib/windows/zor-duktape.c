/* The script engine, built from its amalgamated source with the execution
   time-out hook turned on (the shared library is built without it). The hook
   asks the script host (zor-script-host.cpp) whether the running call is out
   of time.

   The bytecode executor asks only every so many instructions, and a regular
   expression runs inside one instruction: a catastrophic one could use up
   the limit many times over. The engine's native stack check, which the
   regular expression matcher passes at each of its recursions (and every
   call passes), asks too. Past the limit it fails the match with the same
   error and makes the very next instruction run the executor's time-out
   check, which a script's try and catch cannot stop. */
#define DUK_COMPILING_DUKTAPE
#include "duk_config.h"
#define DUK_USE_INTERRUPT_COUNTER
#define DUK_USE_EXEC_TIMEOUT_CHECK(udata) zor_script_timed_out(udata)
int zor_script_timed_out(void* udata);
struct duk_hthread;
static int zor__out_of_time(struct duk_hthread* thr);
#define DUK_USE_NATIVE_STACK_CHECK() zor__out_of_time(thr)
#include "duktape.c"

static int zor__out_of_time(struct duk_hthread* thr) {
    /* not while an error is being made: that would end in a double error */
    if (thr->heap->creating_error || !zor_script_timed_out(thr->heap->heap_udata)) return 0;
    thr->interrupt_init = 0;
    thr->interrupt_counter = 0;
    DUK_ERROR_RANGE(thr, "execution timeout");
    return 0;
}
