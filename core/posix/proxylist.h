// ProxyList: the proxy list text of the settings ("http=h:p;https=h:p",
// "h:p", "scheme://h:p" entries separated by ';') and the choice of a proxy
// for one protocol from it. Platform_ProxyGetByProtocol runs it over the
// user's settings.
//
// Threads: any thread.
#pragma once

// As Platform_ProxyGetByProtocol, over the given list (at most 2047
// characters of it are read).
int ProxyList_GetByProtocol(const char *proxyList, const char *protocol, char *out, int maxURL);
