// ProxyList: the proxy list text of the settings ("http=h:p;https=h:p",
// "h:p", "scheme://h:p" entries separated by ';') and the choice of a proxy
// for one protocol from it. Platform_ProxyGetByProtocol runs it over the
// user's settings.
//
// Threads: any thread.
#pragma once

// Where a URL's host begins: after "://" when the first of ':', '/', '?',
// '#' opens it (1); else at the start (0), or at the end (an empty host) for
// a URL that begins with '/'.
int ProxyList_FindHost(const char *url, const char **host);
// As Platform_ProxyGetByProtocol, over the given list (at most 2047
// characters of it are read).
int ProxyList_GetByProtocol(const char *proxyList, const char *protocol, char *out, int maxURL);
