// CtCheck: marks that let a memory checker prove code constant-time. Under
// valgrind's memcheck, bytes marked secret count as undefined, so any branch
// or memory address that depends on them is reported; a value that is about
// to become public anyway (a finished signature) is marked defined again
// before it is used. Outside valgrind the marks are a few inert
// instructions, and without valgrind's header they vanish.
//
// Threads: the marks touch no shared state.
#pragma once

#if __has_include(<valgrind/memcheck.h>)
#include <valgrind/memcheck.h>
#define CT_MARK_SECRET(pointer, bytes) ((void)VALGRIND_MAKE_MEM_UNDEFINED((pointer), (bytes)))
#define CT_MARK_PUBLIC(pointer, bytes) ((void)VALGRIND_MAKE_MEM_DEFINED((pointer), (bytes)))
#else
#define CT_MARK_SECRET(pointer, bytes) ((void)(pointer), (void)(bytes))
#define CT_MARK_PUBLIC(pointer, bytes) ((void)(pointer), (void)(bytes))
#endif
