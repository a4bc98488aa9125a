// QVN.Platform: the operating-system services a page of the installer front
// end may ask for: system and user facts, environment variables, saved
// credentials, shortcuts, processes, file access and certificate checks, the
// program's data store, shell open and restart. The class has no object;
// every method calls the platform layer or the authentication service.
//
// Invariants: (1) text answers come from 8,192-byte buffers. (2) getCredential
// always adds "username" and "password", getWebCredential only "username";
// the credential methods by target never reach the HTTP client's entries
// ("pelk.webget:..."), which only the web methods read and write. (3) a
// shortcut's description is one path component. (4) validateCertificateFile
// reads only a regular file of at most kPlatformInteropCertificateBytes.
//
// Threads: any thread; a dispatch shares nothing but the test setter's
// command (set before calls).
#pragma once

#include <cstdint>

struct Dictionary;

// The largest certificate file validateCertificateFile reads.
constexpr int64_t kPlatformInteropCertificateBytes = 1 << 20;

// The dispatcher (no object; messages name the class "Platform").
int PlatformInterop_Invoke(void *object, Dictionary *request, Dictionary *result);

// Test-only: the program reboot starts (its one argument is "reboot"); NULL
// restores "systemctl".
void PlatformInterop_SetRebootProgramForTest(const char *program);
