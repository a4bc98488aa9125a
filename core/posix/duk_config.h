/* The script engine's configuration: Debian's shipped one (duktape-dev), with
 * the execution time-out check turned on, so a proxy script that loops is
 * stopped. The build copies this file beside the engine's sources. */
#if !defined(KEELSON_DUK_CONFIG_H)
#define KEELSON_DUK_CONFIG_H

#include "/usr/share/duktape/duk_config.h"

#if defined(__cplusplus)
extern "C" {
#endif
/* Answers 1 once the evaluation that owns the heap (its user data) is out of
 * time; core/posix/autoproxy.cpp. */
duk_bool_t AutoProxy_ExecTimeout(void *heapUserData);
#if defined(__cplusplus)
}
#endif

#define DUK_USE_INTERRUPT_COUNTER
#define DUK_USE_EXEC_TIMEOUT_CHECK(udata) AutoProxy_ExecTimeout((udata))

#endif
