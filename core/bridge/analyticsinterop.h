// QVN.Analytics: pages send analytics events, add shared properties to every
// event and switch analytics on or off. No object; messages name the class
// "Analytics". Info texts must be JSON whose top level is one object; any
// other text answers false and changes nothing.
//
// Threads: main thread (the analytics service's own rule).
#pragma once

struct Dictionary;

int AnalyticsInterop_Invoke(void *object, Dictionary *request, Dictionary *result);
