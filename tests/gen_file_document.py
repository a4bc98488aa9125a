#!/usr/bin/python3
"""Documents written by Python's own writers, for the file entry points of
the text formats, and the oracle that judges what they write back.

Writes into <dir>/file_document/:
  sample.json   json.dump of a nested value (unicode, escapes, numbers)
  sample.xml    xml.etree.ElementTree with attributes, text and nesting
  declared.xml  the same with ElementTree's declaration (single quotes)
  sample.plist  plistlib.dump of dicts, lists, strings, integers, reals and
                booleans
  sample.yaml   PyYAML's safe_dump (block style, UTF-8) of a nested value
  sample.ini    configparser's write (case kept, "key=value") of sections
  oracle.py     this script, which the tests run as
                "oracle.py same <kind> <a> <b>": prints "same" when Python
                reads the two files as the same document (json.load ==,
                ElementTree C14N 2.0 text ==, plistlib.load ==; for the kinds
                yaml and ini, a is the sample read by PyYAML or configparser
                and b the JSON our parse was written as), else what differs.
"""
import configparser
import json
import os
import plistlib
import shutil
import sys
import xml.etree.ElementTree as ET

import yaml

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


YAML_VALUE = {
    "name": "workflow",
    "tasks": [
        {"type": "download", "url": "https://example.test/a b?x=1", "retries": 3},
        {"type": "copy", "from": "/opt/keelson/data", "to": "~/games", "overwrite": True},
        {"type": "noop", "note": None, "ratio": 0.25, "list": [], "map": {}},
    ],
    "text": "caf\u00e9: 'quoted' and \"double\" # not a comment",
    "numbers": [1, -2, 3.5, 1e-3, 12345678901234],
    "words": "a long plain text that PyYAML folds over more than one line when it goes past "
             "its width of eighty columns, as configured texts often do",
    "version": "1.2.3",
    "octal-looking": "007",
}

INI = {
    "General": {"Name": "Keelson", "Path": "/opt/keelson/bin", "Blank words": "a b  c"},
    "Network": {"Proxy": "http://127.0.0.1:8080/", "Timeout": "30"},
    "caf\u00e9": {"Cl\u00e9": "valeur \u00e9t\u00e9"},
}


def write_ini(path):
    config = configparser.ConfigParser(interpolation=None)
    config.optionxform = str  # keep the keys' case
    config.read_dict(INI)
    with open(path, "w", encoding="utf-8") as f:
        config.write(f, space_around_delimiters=False)


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
    with open(os.path.join(target, "sample.yaml"), "w", encoding="utf-8") as f:
        yaml.safe_dump(YAML_VALUE, f, allow_unicode=True, default_flow_style=False,
                       sort_keys=False)
    write_ini(os.path.join(target, "sample.ini"))
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
    if kind == "yaml":
        with open(path, encoding="utf-8") as f:
            return yaml.safe_load(f)
    if kind == "ini":
        config = configparser.ConfigParser(interpolation=None)
        config.optionxform = str
        config.read(path, encoding="utf-8")
        return {name: dict(config[name]) for name in config.sections()}
    raise SystemExit("unknown kind " + kind)


def same(kind, a, b):
    try:
        first = load(kind, a)
        second = load("json" if kind in ("yaml", "ini") else kind, b)
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
