// Platform: the operations the portable modules ask of the operating system,
// its shared records (path ids, file attributes, directory entries, file
// status, broken-down time) and the portable error numbers and kinds. Each
// operation is implemented once per platform under core/posix/ (a later
// core/windows/ beside it); docs/platform.md records how the program's model
// meets Linux.
//
// Invariants: (1) text is UTF-8 and goes to the system calls as it is; a '\\'
// in a path given to the file primitives is read as '/'. (2) a path that does
// not fit its buffer (kPathMax) fails with kPlatformErrorNameTooLong; nothing
// is cut. (3) a directory the layer returns ends with '/'. (4) an operation
// that answers 0 has recorded the calling thread's last error (code and raw
// errno, Platform_GetLastError) and logged one DEBUG line naming the call;
// EINTR is retried, never reported. (5) outputs are defined after a failure:
// texts empty, numbers 0 unless the operation says otherwise.
//
// Threads: any thread unless an operation says otherwise. The last error is
// per thread. Platform_Init/Shutdown and Platform_StartWinsock/StopWinsock run
// on the main thread before other threads exist and after they have ended.
// The environment functions are not safe against a concurrent setenv.
#pragma once

#include <cstddef>
#include <cstdint>

// ---- Sizes and separators ---------------------------------------------------

// A whole Linux path, terminator included.
constexpr int kPathMax = 4096;
constexpr char kPathSeparator = '/';
constexpr const char *kPathSeparatorText = "/";

// ---- Errors -------------------------------------------------------------------

// The program's error numbers. They keep the desktop system's numbering that
// stored and reported codes use; core/posix/errors.cpp maps errno onto them.
constexpr int kPlatformErrorNone = 0;
constexpr int kPlatformErrorFileNotFound = 2;          // ENOENT
constexpr int kPlatformErrorPathNotFound = 3;          // ENOTDIR, a "\\\\" path
constexpr int kPlatformErrorTooManyOpenFiles = 4;      // EMFILE, ENFILE
constexpr int kPlatformErrorAccessDenied = 5;          // EACCES, EPERM, EISDIR
constexpr int kPlatformErrorInvalidHandle = 6;         // EBADF
constexpr int kPlatformErrorNotEnoughMemory = 8;       // ENOMEM
constexpr int kPlatformErrorNotSameDevice = 17;        // EXDEV
constexpr int kPlatformErrorNoMoreFiles = 18;          // the end of a listing
constexpr int kPlatformErrorWriteProtect = 19;         // EROFS
constexpr int kPlatformErrorGeneral = 31;              // any errno not in the table
constexpr int kPlatformErrorSharingViolation = 32;     // ETXTBSY, a share conflict
constexpr int kPlatformErrorLockViolation = 33;        // a lock held by another
constexpr int kPlatformErrorHandleEof = 38;            // a file that ended before its size
constexpr int kPlatformErrorNotSupported = 50;         // ENOTSUP
constexpr int kPlatformErrorFileExists = 80;           // EEXIST of an exclusive create
constexpr int kPlatformErrorInvalidParameter = 87;     // EINVAL
constexpr int kPlatformErrorBrokenPipe = 109;          // EPIPE
constexpr int kPlatformErrorDiskFull = 112;            // ENOSPC, EDQUOT
constexpr int kPlatformErrorCallNotImplemented = 120;  // ENOSYS
constexpr int kPlatformErrorModuleNotFound = 126;      // a library that is not there
constexpr int kPlatformErrorProcNotFound = 127;        // a name a library does not export
constexpr int kPlatformErrorDirNotEmpty = 145;         // ENOTEMPTY
constexpr int kPlatformErrorBusy = 170;                // EBUSY
constexpr int kPlatformErrorAlreadyExists = 183;       // EEXIST
constexpr int kPlatformErrorBadFormat = 193;           // a file the loader cannot use
constexpr int kPlatformErrorNameTooLong = 206;         // ENAMETOOLONG, a full buffer
constexpr int kPlatformErrorIo = 1117;                 // EIO
constexpr int kPlatformErrorCancelled = 1235;          // a progress callback said stop
constexpr int kPlatformErrorTimeout = 1460;            // ETIMEDOUT
constexpr int kPlatformErrorLinkLoop = 1921;           // ELOOP

// The error kinds that workflow code turns into ids ("Platform_Error_" + name).
enum class PlatformErrorKind {
  None,
  Missing,
  AccessDenied,
  AccessInvalid,
  NotEnoughSpace,
  Locked,
  NotSupported,
  Unknown,
};

// The calling thread's last error: the program's code and the errno it came
// from (0 when it did not come from errno). Set by every failing operation of
// this layer; success leaves it alone.
int Platform_GetLastError(void);
int Platform_GetLastErrno(void);
// Sets the code (errno 0); for callers that decide an error themselves.
void Platform_SetLastError(int code);

// 1 for 2, 3, 126, 127 (file, path, module or entry point not found).
int Platform_IsErrorMissing(int error);
// 1 for 32, 33, 108 (share, lock and drive-lock conflicts).
int Platform_IsErrorLocked(int error);
// The kind of an error code, decided in this order: 0 None; Missing codes;
// 5, 19 AccessDenied; 4, 15, 67, 80, 123, 161, 183 AccessInvalid; 39, 112
// NotEnoughSpace; Locked codes; 50, 120, 632, 1630 NotSupported; else Unknown.
PlatformErrorKind Platform_GetErrorKind(int error);
// The kind's name: "None", "Missing", "AccessDenied", "AccessInvalid",
// "NotEnoughSpace", "Locked", "NotSupported" or "Unknown". Static text.
const char *Platform_ErrorName(int error);
// The text of a socket error code (100xx, 110xx, 1460); "Unknown Error" for a
// code the table does not know. Static text.
const char *Platform_GetSocketErrorString(int error);
// The socket error code (100xx) of a socket call's errno; 0 for 0.
int Platform_GetSocketErrorFromErrno(int err);
// The system's own words for an error code, file (2 ... 1921) or socket
// (100xx): the description of the first errno the code comes from, as
// strerror gives it ("No space left on device", "Connection refused"); NULL
// for a code no errno maps onto. Static text.
const char *Platform_GetErrorText(int error);

// ---- Start and stop -------------------------------------------------------------

// Ignores SIGPIPE (a write to a closed socket reports EPIPE instead of ending
// the process), runs Platform_Init, then logs the "System:", "Elevated:" and
// "Process Id:" lines. Returns 1.
int Platform_StartWinsock(void);
// Runs Platform_Shutdown and drops the socket record. Returns 1.
int Platform_StopWinsock(void);
// Creates the platform record and draws once from the random source; a source
// that fails stops the program with "Crypt not initialized (%d)\n" (errno), so
// no key or id is ever built from unfilled bytes. A second call without
// Platform_Shutdown stops the program. Returns 1.
int Platform_Init(void);
// Releases the platform record; nothing to do when there is none. Returns 1.
int Platform_Shutdown(void);

// The library search settings of the desktop system. The loader here only
// loads what it is given by path, so there is nothing to narrow: both return 1.
int Platform_SetDllDirectory(const char *path);
int Platform_SetDefaultDllDirectories(uint32_t flags);

// ---- Libraries --------------------------------------------------------------------

struct PlatformModule;  // a loaded library; the dynamic loader's handle

// Loads a system library by its bare file name ("libz.so.1") from the system
// directory. When a library of that name is loaded already from outside the
// protected directory (the realpath of /usr/lib/), the program stops with
// "Library loaded outside of protected directory (%s) (%s)" (its directory,
// name). A name with a separator is refused (87). NULL when it cannot load.
PlatformModule *Platform_LoadSystemLibrary(const char *name, int logFailure);
// Loads the library at path. On failure NULL; with logFailure, a DEBUG line
// "Unable to load library (%s) (%d)\n" (path, error: 126 when the file is
// missing).
PlatformModule *Platform_LoadLibrary(const char *path, int logFailure);
// Drops one load of the library and clears *module. NULL is ignored.
void Platform_FreeLibrary(PlatformModule **module);
// The address of the function (or variable) name exported by module, or NULL
// (127 recorded) when it has none. Stops with "Pointer is NULL\n" on a NULL
// module or name.
void *Platform_GetLibraryFunction(PlatformModule *module, const char *name);
// The handle of a library that is loaded already (NULL name: the program), or
// NULL. Adds no load count.
PlatformModule *Platform_GetModuleHandle(const char *name);
// The module that holds this layer's code (the program when it is linked in).
PlatformModule *Platform_GetCurrentModule(void);
// The full path of a module (NULL: the program). 1, or 0 (out empty).
int Platform_GetModuleFileName(PlatformModule *module, char *out, int size);
// Its directory, with a trailing '/'. 1, or 0 (out empty).
int Platform_GetModuleDirectory(PlatformModule *module, char *out, int size);

// ---- Well-known directories ---------------------------------------------------------

// The well-known directories by number. The macro expander offers them under
// the names in the comments.
enum PathId : int {
  kPathUserStartMenu = 1,        // UserStartMenu: $XDG_DATA_HOME/applications/
  kPathCommonStartMenu = 2,      // CommonStartMenu: /usr/local/share/applications/
  kPathProgramFiles = 3,         // ProgramFiles: /opt/
  kPathProgramFiles64 = 4,       // ProgramFiles64: /opt/
  kPathUserHome = 5,             // UserHome: $HOME, else the passwd entry
  kPathUserDocuments = 6,        // UserDocuments: XDG_DOCUMENTS_DIR, ~/Documents/
  kPathUserDesktop = 7,          // UserDesktop: XDG_DESKTOP_DIR, ~/Desktop/
  kPathCommonDesktop = 8,        // CommonDesktop: none here, always 0
  kPathUserAppData = 9,          // UserAppData: $XDG_DATA_HOME, ~/.local/share/
  kPathUserAppDataRoaming = 10,  // UserAppDataRoaming: $XDG_CONFIG_HOME, ~/.config/
  kPathCommonAppData = 11,       // CommonAppData: /var/lib/
  kPathTemp = 12,                // Temp: Platform_GetTempDirectory
  kPathAdminTemp = 13,           // AdminTemp: /var/tmp/
  kPathSystemDirectory = 14,     // SystemDirectory: Platform_GetSystemDirectory
  kPathSystemDrive = 15,         // SystemDrive: /
  kPathModulePath = 16,          // ModulePath: the program file (no '/' added)
  kPathModuleDirectory = 17,     // ModuleDirectory: the program's directory
  kPathModulePathAlt = 18,       // ModulePath again
  kPathModuleDirectoryAlt = 19,  // ModuleDirectory again
  kPathModuleDllPath = 20,       // ModuleDllPath: Platform_GetCurrentModule's file
  kPathModuleDllDirectory = 21,  // ModuleDllDirectory: its directory
  kPathPipePath = 22,            // PipePath: the literal "\\\\.\\pipe\\"
  kPathWorkingDirectory = 23,    // WorkingDirectory: the current directory
  kPathUserDownloads = 24,       // UserDownloads: XDG_DOWNLOAD_DIR, else id 6
};

// Writes the directory (or file, ids 16, 18, 20) of a path id into out. 1, or
// 0 with out empty when the id names nothing here (8, ids outside 1-24), the
// source is missing, or the text does not fit (206).
int Platform_GetPath(int id, char *out, int size);
// The program's data directory: the user's (id 9) or, for root however it
// was reached (sudo keeps the user's HOME), the machine's (id 11) data
// directory followed by "keelson/". 1, or 0 (out empty) when it does not fit.
int Platform_GetAppDataDirectory(char *out, int size);
// The realpath of /usr/lib/ (it stands for the desktop system's own
// directory), the system library directory, the current directory, each
// ending with '/'. 1, or 0 (out empty).
int Platform_GetWindowsDirectory(char *out, int size);
int Platform_GetSystemDirectory(char *out, int size);
int Platform_GetCurrentDirectory(char *out, int size);
// $TMPDIR when it is an absolute path that exists or can be created, else
// /tmp/. 1, or 0 (out empty) when neither is a directory.
int Platform_GetTempDirectory(char *out, int size);

// The value of an environment variable (the program's own table first, then
// environ). 1 when it is set and fits; 0 (out
// empty) when it is not set, or does not fit (206). Stops the program with
// "Pointer is NULL\n" on a NULL name or out.
int Platform_GetEnvironmentVariable(const char *name, char *out, int size);
// Sets (value NULL: removes) a variable in the program's own table, never in
// environ (another thread's getenv may read that): this function and the
// programs the launchers start see it. 0 (87) for an empty name or one
// holding '='. Stops on a NULL name.
int Platform_SetEnvironmentVariable(const char *name, const char *value);

// ---- Host names ------------------------------------------------------------------------

// The machine's host name, at most size - 1 characters. 1/0 (out empty).
int Platform_GetHostName(char *out, int size);
// Looks host up with the system resolver (stream sockets, TCP, any family;
// with numericOnly only a numeric address is accepted) and writes its first
// IPv4 answer as dotted text. 0 on success, else the socket error: 11001 host
// not found, 11002 try again, 11003 no recovery, 11004 no IPv4 answer. out is
// empty on failure.
int Platform_ResolveIPv4(const char *host, int numericOnly, char *out, int size);

// ---- Process identity ---------------------------------------------------------------

uint32_t Platform_GetProcessId(void);
uint32_t Platform_GetThreadId(void);
void Platform_SleepMs(uint32_t milliseconds);
// Elevated: the effective user is root. Returns 1 (the query cannot fail).
int Platform_IsElevated(int *elevated);
// The system account: root that was not reached through sudo or pkexec
// (SUDO_UID and PKEXEC_UID unset). Returns 1.
int Platform_IsSystemAccount(int *isSystem);
// The desktop user's id text: the decimal uid here (root acting for a user
// finds it from PKEXEC_UID, SUDO_UID or seat0's active session; anyone else
// is their own desktop user). 1/0; 0 also when sid is too small.
int Platform_GetDesktopUserSid(char *sid, size_t maxSid);
// The parent of a process (from /proc/<pid>/stat), or 0 when there is no such
// process or it cannot be read.
uint32_t Platform_GetParentProcessId(uint32_t pid);
// The effective user's id (root is 0).
uint32_t Platform_GetEffectiveUserId(void);
// The user who owns the client end of a TCP connection this process holds
// over loopback, found in the kernel's socket table by the connection's two
// ends as this process sees them (IPv4 addresses with the first octet in the
// lowest byte, ports in host order): local is ours, remote is the client's.
// A client's IPv6 socket on a mapped IPv4 address is found too. 1 with
// *owner; 0 with *owner = kPlatformNoUser when no open socket on this
// machine has those ends (the client closed it already, or it lives in
// another network namespace) or the table cannot be asked (the failure is
// recorded and logged).
constexpr uint32_t kPlatformNoUser = 0xffffffffu;
int Platform_GetLoopbackPeerOwner(uint32_t localAddress, int32_t localPort,
                                  uint32_t remoteAddress, int32_t remotePort, uint32_t *owner);

// The program's exclusive single-instance mark (core/platform/appmark.h): creates the
// mark "<name>-EXCLUSIVE" as the platform record's singleton and tries to
// take it within timeoutMs (negative: without limit). 0 when this process
// took it, 1 when another instance holds it. Needs Platform_Init; a second
// call stops the program with "Assertion failed
// (GlobalPlatformWin32->SingletonHandle == NULL)\nExclusive singleton
// already initialized". Platform_Shutdown closes the mark.
struct AppMark;
int Platform_Exclusive(const char *name, int32_t timeoutMs);
// That mark (borrowed), or NULL before Platform_Exclusive.
AppMark *Platform_GetExclusiveMark(void);

// Fills buffer with size bytes from the system's random source. Returns 1;
// a source that fails stops the program, so callers never see a short fill.
int Platform_RandomBytes(void *buffer, size_t size);

// The platform's verdict on a DER certificate: 1 when the system's trust
// anchors vouch for it (it is one, or one of them issued it), else 0. A DER
// that does not load logs "Unable to create certificate context (0x%08x)\n".
// *revoked is set to 1 only for a certificate known to be revoked (this
// platform keeps no revocation data, so it stays 0).
int Platform_VerifyCertificateChain(const void *der, int32_t length, int *revoked);

// ---- Raw threads and atomics ----------------------------------------------------------

struct PlatformThread;  // a system thread; the core thread layer builds on it

constexpr uint32_t kPlatformThreadTag = 0x2e551e15;

// The entry point of a raw thread; its result is the thread's exit code.
typedef int (*PlatformThreadFunction)(void *argument);

// Starts a thread running function(argument) with the default stack size.
// Returns only after the new thread has published its system id, so the id is
// valid at once. 1 with both outputs set; 0 with both cleared (errno recorded)
// when the system refuses. Stops with "Pointer is NULL\n" on a NULL out.
int Thread_Create(PlatformThreadFunction function, void *argument, uint32_t *threadId,
                  PlatformThread **thread);
// Frees the record and clears *thread; a thread nobody waited for is detached
// so its resources go when it ends. Stops on a NULL or foreign record.
void Thread_Destroy(PlatformThread **thread);
// Waits without time limit for the thread to end. One waiter at a time; a
// second wait after the end returns at once. Returns 1.
int Thread_WaitForExit(PlatformThread *thread);
// With on 1, puts the calling thread into background mode (I/O class idle);
// when the system refuses, lowers its CPU priority (nice +5) instead; when
// both fail logs "Unable to set thread priority\n". The record's background
// flag is set only when background mode began. Returns 1.
int Thread_BeginBackground(PlatformThread *thread, int on);
// Ends background mode of the calling thread when the flag is set. Returns 1.
int Thread_EndBackground(PlatformThread *thread);
// Names a thread of this process (its system id; the record, when given, is
// used instead). The system keeps 15 bytes: a longer name is shortened at a
// character boundary. 1/0.
int Platform_SetThreadName(PlatformThread *thread, uint32_t threadId, const char *name);

// Full-barrier read-modify-write on an aligned 32-bit word. Increment and
// Decrement return the new value, CAS the previous one (exchange is stored
// when it equals comparand). An address not aligned to 4 bytes stops the
// program with "Assertion failed (((intptr)Value & 3) == 0)\nUnaligned value".
int32_t Platform_AtomicIncrement(int32_t *value);
int32_t Platform_AtomicDecrement(int32_t *value);
int32_t Platform_CAS(int32_t *value, int32_t exchange, int32_t comparand);

// ---- Log file and console --------------------------------------------------------------

// The log's file and console: plain descriptors that never allocate, so the
// log can call them under its lock. Open returns a descriptor, -1 when the
// file cannot be opened now, or kPlatformLogFileRefused when what stands at
// path is not the log's to write: a link (at its name or on its path), or
// anything but a regular file of the effective user's with one name (it is
// then left as it was, never cut).
// A new file is 0600, and an existing one is narrowed to 0600. Without append
// the file is cut once it is known to be the user's, unless another process
// has it open to log: the file is then appended to and *inUse set to 1. Every
// open holds a shared OFD lock on the file until it is closed, which is how
// other processes tell it is in use.
constexpr int kPlatformLogFileRefused = -2;
int Platform_LogFileOpen(const char *path, int append, int *inUse);
void Platform_LogFileWrite(int fd, const char *data, size_t length);
void Platform_LogFileSync(int fd);
void Platform_LogFileClose(int fd);
// Creates a directory and all its parents (new ones 0755), following no link
// on the way. Returns 1 when it exists after.
int Platform_CreateDirectoryTree(const char *path);

// The console is stderr. A hook, when installed, receives the terminal's quit
// signals (SIGINT, SIGQUIT, SIGHUP, SIGTERM). It runs in signal context: it
// may only set an atomic flag. NULL restores the signals' default action.
typedef int (*PlatformConsoleHook)(void);
void Platform_ConsoleWrite(const char *text, size_t length);
void Platform_ConsoleSetHandlers(PlatformConsoleHook hook);
// The last quit signal the handlers received (stored before the hook runs),
// or 0.
int Platform_GetConsoleSignal(void);
// 1 when fd is a terminal (a progress line may be rewritten in place there).
int Platform_IsTerminal(int fd);
// The terminal's width in columns; 0 when fd is not a terminal or does not
// say.
int Platform_GetTerminalWidth(int fd);

// ---- Clocks ---------------------------------------------------------------------------------

struct tm;

// The wall clock may jump (the user or NTP sets it); every time-out, retry and
// elapsed-time measure uses the tick clock instead.
//
// Seconds since 1970-01-01 00:00:00 UTC from the real-time clock, fractions
// kept.
double Platform_GetWallSeconds(void);
// Seconds since the system started, counted in whole milliseconds, including
// time spent suspended; never goes back. The monotonic clock of the program.
double Platform_GetTickSeconds(void);
// Tests only: while a source is set, every Platform_GetTickSeconds answer
// comes from it (held still, jumped or advanced on each call), and so do the
// fire times, delays and meters built on the tick clock. NULL restores the
// real clock. Set it while no other thread reads the clock.
typedef double (*PlatformTickSource)(void);
void Platform_SetTickSourceForTest(PlatformTickSource source);
// The local calendar fields of a whole second since 1970 under the process's
// time zone (TZ honoured). Returns 1; 0 when the system cannot convert it
// (*fields is then zeroed).
int Platform_GetLocalFields(int64_t seconds, struct tm *fields);

// ---- File-system primitives ----------------------------------------------------------------
//
// Paths are read as invariant (1) says; a path that begins with two
// backslashes names a network share, which does not exist here: it fails with
// 3. A NULL path stops the program with "Pointer is NULL\n".

// Portable attribute bits. Read-only: the owner has no write bit. Hidden: the
// name begins with '.'. System and encrypted are never reported here.
constexpr uint32_t kFileAttributeReadOnly = 0x1;
constexpr uint32_t kFileAttributeHidden = 0x2;
constexpr uint32_t kFileAttributeSystem = 0x4;
constexpr uint32_t kFileAttributeDirectory = 0x10;
constexpr uint32_t kFileAttributeSymlink = 0x20;
constexpr uint32_t kFileAttributeEncrypted = 0x40;

// A broken-down UTC time. Converting back ignores weekday.
struct PlatformTime {
  int32_t second;
  int32_t minute;
  int32_t hour;
  int32_t day;      // 1-31
  int32_t month;    // 0-11
  int32_t year;     // year - 1900
  int32_t weekday;  // 0-6, Sunday 0
};

// One entry of a listing. Sizes and times are the entry's own (a link is not
// followed); attributes say where a link leads (0x30: a link to a directory).
struct DirectoryEntry {
  uint32_t attributes;
  PlatformTime creationTime;  // birth time, else the earlier of mtime and ctime
  PlatformTime lastAccessTime;
  PlatformTime lastWriteTime;
  int64_t size;
  int64_t sizeOnDisk;  // size rounded up to whole clusters
  char name[kPathMax];
  char shortName[14];  // 8.3 names do not exist here: always empty
  uint32_t clusterBytes;
};

// The status of a path (links followed), from stat(2).
struct PlatformFileStatus {
  uint64_t device;
  uint64_t specialDevice;  // the device a device file stands for, else 0
  uint32_t mode;           // the real type and permission bits
  uint32_t linkCount;
  int64_t size;
  int64_t lastAccessTime;  // seconds since 1970
  int64_t lastWriteTime;
  int64_t creationTime;
};

// Called after each chunk of a copy or move; 0 cancels it (error 1235).
typedef int (*PlatformProgressFunction)(void *userData, const char *source, const char *destination,
                                        int64_t transferred, int64_t total);

// Move flags.
constexpr uint32_t kPlatformMoveCopyAllowed = 0x1;   // across file systems by copying
constexpr uint32_t kPlatformMoveReplace = 0x2;       // replace an existing destination
constexpr uint32_t kPlatformMoveWriteThrough = 0x4;  // on disk before returning

struct PlatformFind;  // an open listing

// The open(2) flags that portable callers of Platform_OpenFile need, without
// system headers (core/posix/fileio.cpp checks them against <fcntl.h>).
constexpr int kPlatformOpenReadOnly = 00;
constexpr int kPlatformOpenWriteOnly = 01;
constexpr int kPlatformOpenReadWrite = 02;
constexpr int kPlatformOpenCreate = 0100;

// Share flags of Platform_OpenFile (the File mode's bits): what other opens
// may do while the descriptor is open. Neither bit: nothing.
constexpr int kPlatformShareRead = 0x20;
constexpr int kPlatformShareWrite = 0x40;

// Opens with open(2) flags (O_CLOEXEC is always added); a new file gets 0666
// less the umask. An exclusive create (O_CREAT | O_EXCL) that finds the file
// fails with 80. Only a regular file is opened, or a directory when
// O_DIRECTORY is given: anything else (a FIFO, socket or device) is refused
// with 5 without waiting for a peer, before a byte is read or written.
// Share modes: the open fails with 32 when its access (read, write) is not
// within the share flags of a descriptor that holds the file open, or when
// such a holder has an access that shareFlags do not allow. The check binds
// this program's processes only (advisory locks; core/posix/sharemode.h).
// O_TRUNC cuts the file before the check: callers that share truncate after
// opening. A descriptor, to be closed with Platform_CloseFile, or -1.
int Platform_OpenFile(const char *path, int openFlags, int shareFlags);

// Descriptor operations on what Platform_OpenFile returned. Each records the
// error on failure (invariant 4).
//
// Reads up to size bytes: 1 with *count the bytes read, 0 at the end of the
// file; 0 on an error (*count 0).
int Platform_ReadFile(int fd, void *buffer, size_t size, size_t *count);
// The same from offset, without moving the descriptor's position (pread(2)).
int Platform_ReadFileAt(int fd, int64_t offset, void *buffer, size_t size, size_t *count);
// Writes all size bytes, calling write(2) until they are written or a call
// fails. 1; or 0 with *count the bytes that reached the file and the error
// (112 when the system wrote nothing without naming an error).
int Platform_WriteFile(int fd, const void *data, size_t size, size_t *count);
// lseek(2) with origin 0 start, 1 current, 2 end; *position (may be NULL) the
// new offset. 1/0.
int Platform_SeekFile(int fd, int64_t offset, int origin, int64_t *position);
// ftruncate(2) and fsync(2). 1/0.
int Platform_TruncateFile(int fd, int64_t length);
int Platform_SyncFile(int fd);
// fstat(2): the size and the last-write time in seconds since 1970 with its
// nanoseconds (either output may be NULL). 1/0 (outputs 0).
int Platform_GetFileInfo(int fd, int64_t *size, double *modifiedSeconds);
// Closes the descriptor and whatever the share modes hold for it. The
// descriptor is gone afterwards even when the system reports an error (Linux
// frees it before it reports): 1, or 0 with the error.
int Platform_CloseFile(int fd);
// stat(2) of the path (links followed): real mode bits, link count, times and
// the creation time as DirectoryEntry gives it. 1/0 (out zeroed).
int Platform_Stat(const char *path, PlatformFileStatus *status);
// Copies a regular file: data in chunks of up to 8 MiB, calling progress
// after each; then the source's permission bits and modified time. With
// failIfExists an existing destination fails with 80. A destination that is
// the source (same path or a hard link) fails with 32 before anything is
// written. A cancelled (1235) or failed copy removes what it wrote. 1/0.
int Platform_CopyFile(const char *source, const char *destination, int failIfExists, void *userData,
                      PlatformProgressFunction progress);
// Renames source to destination; an existing destination fails with 183
// unless kPlatformMoveReplace. Across file systems (17) a file is copied when
// kPlatformMoveCopyAllowed: into a temporary file beside the destination,
// synced, renamed over it, and then the source is removed; on any failure the
// destination and the source stay as they were. A directory is never copied
// (17). fd, an open descriptor of the source, changes nothing here: an open
// file can be renamed under its descriptor. 1/0.
int Platform_MoveFile(int fd, const char *source, const char *destination, uint32_t flags);
int Platform_MoveFileWithProgress(const char *source, const char *destination, uint32_t flags,
                                  void *userData, PlatformProgressFunction progress);
// unlink(2). 1/0.
int Platform_DeleteFile(const char *path);
// Sets the attribute bits of the descriptor (fd >= 0) or the path. Read-only
// set clears every write bit, cleared gives the owner write permission; the
// other bits cannot be set here and are ignored. 1/0.
int Platform_SetAttributes(int fd, const char *path, uint32_t attributes);
// The attribute bits of the descriptor (fd >= 0; path, when given, decides
// hidden) or of the path itself (a link is reported as one). 1, or 0 with
// *attributes 0 (also when the path does not exist).
int Platform_GetAttributes(int fd, const char *path, uint32_t *attributes);
// The creation and last-write times (each optional) of the descriptor (fd >=
// 0; kind is ignored, every handle is a descriptor here) or the path. A path
// that cannot be read logs "Unable to open file to get file time [%s (%d)]\n".
// 1/0.
int Platform_GetFileTimes(const char *path, int fd, int kind, PlatformTime *creation,
                          PlatformTime *lastWrite);
// Sets the access and last-write times given (each optional) of the
// descriptor or path. The creation time cannot be set here and is ignored.
// 1/0.
int Platform_SetFileTimes(const char *path, int fd, int kind, const PlatformTime *creation,
                          const PlatformTime *lastAccess, const PlatformTime *lastWrite);
// One directory level, 0777 less the umask; an existing one fails (183). 1/0.
int Platform_CreateDirectory(const char *path);
// An empty directory (145 when it is not). 1/0.
int Platform_RemoveDirectory(const char *path);
// Free bytes for an unprivileged user and the cluster geometry (512-byte
// sectors) of the file system holding path. The directory part of the path is
// asked; while it does not exist, the walk moves up one level. On failure the
// geometry outputs are 1 and freeBytes 0. freeBytes may be NULL; NULL
// geometry outputs stop the program with "Pointer is NULL\n". 1/0.
int Platform_GetDiskSpace(const char *path, int64_t *freeBytes, uint32_t *sectorsPerCluster,
                          uint32_t *bytesPerSector);
int Platform_GetDiskFreeSpace(const char *path, int64_t *freeBytes);
// Free inodes (files and directories that can still be made) for an
// unprivileged user on the file system holding path, asked as
// Platform_GetDiskSpace asks; INT64_MAX on a file system that counts none.
// 1; 0 with *freeInodes 0.
int Platform_GetFreeInodes(const char *path, int64_t *freeInodes);
// Free bytes for an unprivileged user on the file system holding path itself,
// with no walk to a parent: the macro expander's "DiskSpace". 1; 0 with
// *freeBytes 0 when the path cannot be queried.
int Platform_GetVolumeFreeBytes(const char *path, int64_t *freeBytes);
// The first entry whose name matches the last component of pattern ('*' any
// run of characters, case-sensitive; "*.*" matches every name) in the
// directory before it ("." and ".." included, in directory order). 1 with
// *find open, or 0 (2 when nothing matches) with *find NULL. Stops with
// "Pointer is NULL\n" on a NULL output.
int Platform_FindFirst(const char *pattern, DirectoryEntry *entry, PlatformFind **find);
// The next matching entry; 0 at the end (18).
int Platform_FindNext(PlatformFind *find, DirectoryEntry *entry);
// Closes the listing and clears *find. Returns 1.
int Platform_FindClose(PlatformFind **find);
// A symbolic link at linkPath pointing to target (isDirectory is a hint the
// system does not need); linkPath's missing directories are created first
// (Path_CreateDirectory). Failures log "Unable to create symlink [%s (%d)]\n".
// 1/0.
int Platform_CreateSymlink(const char *linkPath, const char *target, int isDirectory);
// The target text of a symbolic link. A target that does not fit fails with
// 206. Failures log "Unable to open file to get symlink target [%s (%d)]\n".
// 1/0 (out empty).
int Platform_GetSymlinkTarget(const char *linkPath, char *out, int size);
// Whether the process's effective user may read (bit 1) and/or write (bit 2)
// the path. With walkUp, a path that does not exist is answered for its
// nearest existing parent directory. 1 when granted.
int Platform_CheckFileAccess(const char *path, int permissions, int walkUp);
// An exclusive lock on a lock file, the guard of data beside it: the file
// is opened without following a link, without truncating and without
// blocking (a FIFO at the name cannot hold the open), created 0600 when
// missing. Anything but a regular file of the effective user that group and
// others may not write (a link, a FIFO, another user's file) is removed
// without being followed and made anew, once; refused (5, errno EPERM) when
// it cannot be removed or something of the kind stands there again. One of
// ours with another hard link is refused (5, errno EMLINK), untouched. Taken,
// the file holds this process's id as text. 1 with *fd (give it to
// Platform_UnlockFile). 0 with *fd -1: 33 when another process holds it,
// *holderPid then the id it wrote (0 while it wrote none); else the open's
// error.
int Platform_LockFile(const char *path, int *fd, int32_t *holderPid);
// Gives the lock back and closes fd; the file stays, emptied of the id. 1/0.
int Platform_UnlockFile(int fd);
// The lock of the installation whose open directory is directoryFd: an
// exclusive flock(2) on a 0600 file named by the directory's device and
// inode, so whoever names the installation, by any path, meets the same
// lock, in a 0700 directory of the effective user's that follows from its
// uid alone (<home>/.local/state/keelson/locks, the home the password
// database names; no other user can open the file, so none can hold it).
// Taken, the file holds this process's id as text. 1 with *fd (give it to
// Platform_UnlockFile); 0 with *fd -1: 33 when another process holds it,
// *holderPid then the id it wrote (0 while it wrote none), *holderGone 1
// when that process no longer runs (a process it started keeps the
// descriptor); 5 for a lock directory or file that is not the user's
// alone, 2/3 without a home; else the failure of the open.
int Platform_LockInstallation(int directoryFd, int *fd, int32_t *holderPid, int *holderGone);

// ---- System information ---------------------------------------------------------------------
//
// Read-only questions about the machine; nothing is cached. Text outputs are
// UTF-8 and empty (numbers 0) when the query answers 0. NULL outputs stop the
// program with "Pointer is NULL\n". core/posix/sysinfo.cpp reads procfs,
// sysfs, the passwd database and the environment.

// The size of the system-information texts the macro expander asks for.
constexpr int kPlatformInfoBytes = 8140;

struct OsVersion {
  uint32_t major;
  uint32_t minor;
  uint32_t build;
  uint32_t fourth;
};

// The first four numbers of the kernel release ("6.1.0-18-amd64" gives
// {6, 1, 0, 18}; missing ones 0). 1/0.
int Platform_GetSystemVersion(OsVersion *out);
// "%u.%u.%u.%u" of the four words. 1/0.
int Platform_GetSystemVersionString(char *out, int size);
// The passwd name of the effective user, else $USER, else the uid. 1/0.
int Platform_GetUserName(char *out, int size);
// The two-letter language and country of the user's locale: the first set of
// LC_ALL, LC_MESSAGES, LANG ("de_DE.UTF-8": "de", "DE"); "C", "POSIX" or
// none: "en", "US". 1, or 0 when the locale names no such part.
int Platform_GetUserISO639LangName(char *out, int size);
int Platform_GetUserISO3166CountryName(char *out, int size);
// The system's page size. 1 when above 0.
int Platform_GetPageSize(uint32_t *out);
// The processor width the kernel runs: 64 on x86_64 and aarch64, else 32.
int Platform_GetSystemBitness(void);
// Total physical memory in bytes (MemTotal). 1/0.
int Platform_GetSystemMemory(uint64_t *out);
// The processor's top speed in MHz (cpufreq's maximum, else the current "cpu
// MHz" rounded). 1/0.
int Platform_GetCPUSpeed(uint32_t *out);
// The processor's vendor id and model name. 1/0.
int Platform_GetCPUVendor(char *out, int size);
int Platform_GetCPUDescription(char *out, int size);
// The index-th qualifying display device: a PCI display controller marked as
// the boot (primary) device, in address order. Its name is "<vendor>
// <device>" from pci.ids, else "vvvv:dddd" in hex; its memory the VRAM size
// the driver exports, else 0. 1, or 0 when there is no such device.
int Platform_GetVideoCardName(int index, char *out, int size);
int Platform_GetVideoCardMemory(int index, uint64_t *out);
// No such interface here: empty text and 0.
int Platform_GetDirectXVersion(char *out, int size);
// The GL_VERSION text of a surfaceless EGL context (libEGL loaded at run
// time). 1/0.
int Platform_GetOpenGLVersion(char *out, int size);
// No anti-virus registry here: 0.
int Platform_GetAntiVirus(int index, char *out, int size);
// "dark" when GTK_THEME ends in ":dark" or the desktop's colour scheme is
// 'prefer-dark', else "light". 1.
int Platform_GetTheme(char *out, int size);
// The serial of the whole disk holding drivePath, letters and digits only.
// 1 when the disk was found (also with no serial); 0 otherwise, logged.
int Platform_GetDiskSerial(const char *drivePath, char *out, int size);

struct NetworkAdapter {
  char name[260];
  char description[132];
  uint32_t address;  // first octet in the lowest byte
  char addressText[32];
  uint32_t gateway;
  char gatewayText[32];
  uint32_t gatewayMask;
  char gatewayMaskText[32];  // a trailing ".255" reads ".0"
  uint8_t mac[6];
  uint32_t macLength;
  int32_t connected;
  int32_t primary;  // the lowest ifindex with an address and a non-zero MAC
  int32_t dhcp;     // a DHCP lease naming a server
  int32_t loopback;
  int32_t wiredOrWireless;
  uint32_t type;  // 24 loopback, 71 wireless, 6 any other
  uint32_t interfaceIndex;
};

// The index-th network interface in ifindex order. 1 when it exists.
int Platform_GetNetworkAdapter(int index, NetworkAdapter *out);

// ---- Proxy and network settings -------------------------------------------------------------
//
// The user's proxy settings: the environment (http_proxy, https_proxy,
// ftp_proxy, all_proxy, no_proxy; lower case before upper case) when any
// proxy variable is set, else the desktop's org.gnome.system.proxy. Manual
// proxies read as the list "http=h:p;https=h:p;ftp=h:p;socks=h:p" (all_proxy
// an entry without protocol; user information dropped), no_proxy and
// ignore-hosts as the ';'-separated bypass list (".x.org" reads "*.x.org").
// Outputs are empty (numbers 0) when an operation answers 0; nothing here
// logs. core/posix/proxysettings.cpp.

// Setting flags: a manual proxy, a configuration script URL, auto-detection.
constexpr uint32_t kProxyFlagManual = 0x2;
constexpr uint32_t kProxyFlagAutoConfigUrl = 0x4;
constexpr uint32_t kProxyFlagAutoDetect = 0x8;
// The proxy list the protocol lookup reads, and the URL texts.
constexpr int kProxyListBytes = 2048;
constexpr int kProxyUrlBytes = 4096;

// The first two IPv4 name servers of /etc/resolv.conf (through systemd-resolved's
// upstream list when it names only its stub 127.0.0.53), first octet in the
// lowest byte. Both outputs are cleared first. 1 when one was found.
int Platform_GetDnsServers(uint32_t *first, uint32_t *second);
// The process owning the IPv4 TCP socket whose local address (first octet in
// the lowest byte) and port are given, in any state. 1 with *pid when found.
int Platform_GetTcpConnectionOwner(const uint32_t *address, uint16_t port, uint32_t *pid);
// *on = 1 when the settings ask for auto-detection. 1/0.
int Platform_IsProxyAutoDetect(int *on);
// The configuration script URL, when the settings name one. 1 when not empty.
int Platform_GetProxyAutoConfigUrl(char *out, int size);
// DHCP option 252 of the named interface's lease: at most size - 1 (and
// 4095) bytes, cut at its last line feed. 1 when not empty.
int Platform_GetDhcpWpadUrl(const char *adapterName, char *out, int size);
// The bypass list, only with a manual proxy. 1 when not empty.
int Platform_GetProxyBypass(char *out, int size);
// The user name and password that the settings' own proxy URL carries for
// the proxy at hostPort ("host:port"; a setting without a port matches the
// host alone), percent-decoding undone. 1 when a user name is given; 0 with
// both empty otherwise.
int Platform_GetProxyUserInfo(const char *hostPort, char *user, int userSize, char *password,
                              int passwordSize);
// Settings that exist but cannot be read: no proxy variable is set and the
// desktop's proxy settings are installed, but the place their backend keeps
// its files is not the user's own to write, so they are not asked. 1 with
// why, in words for the user; 0 (out empty) when the settings can be read
// or there are none.
int Platform_GetProxySettingsProblem(char *out, int size);
// The manual proxy for a protocol ("http", "https"): the value of its
// "protocol=" entry; else the list's entries without protocol, those with a
// scheme kept only for "http://" or "protocol://" (scheme removed), joined
// with ';'. Only entries that fit whole into maxURL - 1 characters are
// given. 1 when not empty. NULL protocol or out stop with "Pointer is
// NULL\n", maxURL below 1 with "Assertion failed (MaxURL > 0)\n...".
int Platform_ProxyGetByProtocol(const char *protocol, char *out, int maxURL);

// One evaluation of a proxy auto-configuration script (FindProxyForURL).
struct ProxyScriptRequest {
  const char *script;
  int32_t scriptLength;
  const char *url;
  char *out;
  int32_t outSize;
  int32_t systemError;  // 0, or why the evaluation failed
  int32_t result;       // 1 when out holds the script's answer
};

// Evaluates the script for request->url in a fresh engine heap, with at most
// a 5-second budget and a 64 MiB heap; past either (or on any script error)
// result is 0 with one log line. Any thread; evaluations may overlap.
void Platform_ProxyGetForURLWithScript(ProxyScriptRequest *request);
// 1: the script engine is built in.
int Platform_IsAutoProxyAvailable(void);

// The scripts' name services. IsResolvable: 1 when host resolves.
// GetIPAddress: this machine's IPv4 address text; 0, or 12007 when it has
// none. ResolveHostName: host's IPv4 address text, *size its length; 0, or
// 12007 when it does not resolve (122 when out is too small). IsInNet: 1
// when address and network are dotted IPv4 addresses and address AND mask
// equals network AND mask.
int Platform_AutoProxyIsResolvable(const char *host);
int Platform_AutoProxyGetIPAddress(char *out, uint32_t *size);
int Platform_AutoProxyResolveHostName(const char *host, char *out, uint32_t *size);
int Platform_AutoProxyIsInNet(const char *address, const char *network, const char *mask);
