/* The script engine's configuration: Debian's shipped one (duktape-dev), with
 * the execution time-out check turned on, so a proxy script that loops is
 * stopped, and the same check on the engine's own long paths (calls, each
 * step of a regular expression's backtracking, number conversions), which
 * the executor's check does not see while a built-in runs. The build copies
 * this file beside the engine's sources. */
#if !defined(KEELSON_DUK_CONFIG_H)
#define KEELSON_DUK_CONFIG_H

#include "/usr/share/duktape/duk_config.h"

#if defined(__cplusplus)
extern "C" {
#endif
/* Answers 1 once the evaluation that owns the heap (its user data) is out of
 * time; core/posix/autoproxy.cpp. */
duk_bool_t AutoProxy_ExecTimeout(void *heapUserData);
/* Answers 1 once the evaluation running on this thread is out of time; the
 * engine then throws a RangeError where it asked. */
duk_bool_t AutoProxy_NativeTimeout(void);
#if defined(__cplusplus)
}
#endif

#define DUK_USE_INTERRUPT_COUNTER
#define DUK_USE_EXEC_TIMEOUT_CHECK(udata) AutoProxy_ExecTimeout((udata))
#undef DUK_USE_NATIVE_STACK_CHECK
#define DUK_USE_NATIVE_STACK_CHECK() AutoProxy_NativeTimeout()

#endif
