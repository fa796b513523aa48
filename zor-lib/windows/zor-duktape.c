/* The script engine, built from its amalgamated source with the execution
   time-out hook turned on (the shared library is built without it). The hook
   asks the script host (zor-script-host.cpp) whether the running call is out
   of time. */
#define DUK_COMPILING_DUKTAPE
#include "duk_config.h"
#define DUK_USE_INTERRUPT_COUNTER
#define DUK_USE_EXEC_TIMEOUT_CHECK(udata) zor_script_timed_out(udata)
int zor_script_timed_out(void* udata);
#include "duktape.c"
