// A page for the bridge's tests: PageRecorder is the request context of one
// page, and PageRecorder_Deliver the host's delivery function that the
// bridge calls with it. Every batch text is copied (the bridge's text lives
// only during the call), so a test reads afterwards what each page
// received, batch by batch or record by record, and can have Python's json
// read the batches as the page's script would.
//
// Threads: the bridge delivers on the main thread; a recorder is read there.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct PageRecorder {
  std::vector<std::string> texts;  // every batch, in delivery order
  std::vector<void *> objects;     // the QVN.NotificationCenter object of each
  // Runs after each copy, inside the delivery (a page that calls back into
  // the bridge from its dispatcher).
  std::function<void(PageRecorder *page, void *object)> then;
};

// The delivery function (InteropDeliveryFunction): requestContext is the
// PageRecorder.
void PageRecorder_Deliver(void *requestContext, void *object, const char *text, int32_t flags);

// Every record of every batch, in order, as compact JSON read back by the
// program's JSON reader; a batch that is not an array of objects adds
// "(not a batch)".
std::vector<std::string> PageRecorder_Records(const PageRecorder &page);

// Python's json reading each text (one line per text: the document written
// back compactly with sorted keys, or "(not JSON)"); files go to the vectors
// directory under the prefix name. Fails the test when Python does not run.
std::vector<std::string> PageRecorder_PythonRead(const std::vector<std::string> &texts,
                                                 const std::string &prefix);
