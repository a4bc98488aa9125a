#!/usr/bin/python3
"""Documents written by Python's own writers, for the file entry points of
the text formats, and the oracle that judges what they write back.

Writes into <dir>/file_document/:
  sample.json   json.dump of a nested value (unicode, escapes, numbers)
  sample.xml    xml.etree.ElementTree with attributes, text and nesting
  declared.xml  the same with ElementTree's declaration (single quotes)
  sample.plist  plistlib.dump of dicts, lists, strings, integers, reals and
                booleans
  oracle.py     this script, which the tests run as
                "oracle.py same <kind> <a> <b>": prints "same" when Python
                reads the two files as the same document (json.load ==,
                ElementTree C14N 2.0 text ==, plistlib.load ==), else what
                differs.
"""
import json
import os
import plistlib
import shutil
import sys
import xml.etree.ElementTree as ET

VALUE = {
    "name": "keelson",
    "version": [1, 2, 3],
    "ratio": 0.1,
    "big": 12345678901234,
    "negative": -7.25e-3,
    "flags": {"on": True, "off": False, "none": None},
    "text": "line one\nline two\t\"quoted\" \\ back",
    "unicode": "caf\u00e9 \u65e5\u672c \U0001f600",
    "empty": {},
    "list": [],
    "nested": [{"a": [1, [2, [3, {"deep": "yes"}]]]}],
}

PLIST = {
    "CFBundleName": "Keelson",
    "Version": "1.2.3",
    "Count": 42,
    "Negative": -17,
    "Ratio": 0.3333333333333333,
    "Enabled": True,
    "Disabled": False,
    "Paths": ["/opt/keelson", "~/Library/Keelson", "caf\u00e9"],
    "Nested": {"Inner": {"Deep": [1, 2.5, "three"]}, "Empty": {}},
    "Spaces": "  kept  as written  ",
}


def write_xml(path, declaration):
    root = ET.Element("catalog", {"version": "2", "name": "main & more"})
    for i in range(3):
        item = ET.SubElement(root, "item", {"id": str(i), "kind": "file" if i % 2 else "dir"})
        ET.SubElement(item, "path").text = "/data/%d/x<y>.bin" % i
        ET.SubElement(item, "size").text = str(1000 * i)
        ET.SubElement(item, "note").text = "caf\u00e9 \"%d\"" % i
    ET.SubElement(root, "empty")
    ET.ElementTree(root).write(path, encoding="utf-8", xml_declaration=declaration)


def generate(out_dir):
    target = os.path.join(out_dir, "file_document")
    os.makedirs(target, exist_ok=True)
    with open(os.path.join(target, "sample.json"), "w", encoding="utf-8") as f:
        json.dump(VALUE, f, ensure_ascii=False, indent=2)
    write_xml(os.path.join(target, "sample.xml"), False)
    write_xml(os.path.join(target, "declared.xml"), True)
    with open(os.path.join(target, "sample.plist"), "wb") as f:
        plistlib.dump(PLIST, f)
    shutil.copyfile(os.path.abspath(__file__), os.path.join(target, "oracle.py"))


def load(kind, path):
    if kind == "json":
        with open(path, encoding="utf-8") as f:
            return json.load(f)
    if kind == "xml":
        return ET.canonicalize(from_file=path, strip_text=True)
    if kind == "plist":
        with open(path, "rb") as f:
            return plistlib.load(f)
    raise SystemExit("unknown kind " + kind)


def same(kind, a, b):
    try:
        first, second = load(kind, a), load(kind, b)
    except Exception as error:  # the verdict is the output, not the status
        print("unreadable: %s" % error)
        return
    print("same" if first == second else "differ:\n%r\n%r" % (first, second))


def main():
    if len(sys.argv) == 5 and sys.argv[1] == "same":
        same(sys.argv[2], sys.argv[3], sys.argv[4])
    else:
        generate(sys.argv[1])


if __name__ == "__main__":
    main()
