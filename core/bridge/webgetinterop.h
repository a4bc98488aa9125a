// QVN.WebGet: the HTTP client's global settings for pages (macro values, URL
// rewrite rules, rewriting, the whitelist check). No object; messages name
// the class "WebGet". Option words outside 32 bits are refused, and a page's
// clear keeps the rules the program made immutable.
//
// Threads: any.
#pragma once

struct Dictionary;

int WebGetInterop_Invoke(void *object, Dictionary *request, Dictionary *result);
