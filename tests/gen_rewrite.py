#!/usr/bin/python3
"""Oracle vectors for the URL rewrite rules of core/net/webget, answered by
pcre2test (pcre2-utils) with its replace= substitution under the same compile
options, match and substitute options, output buffer size and match limits.

Writes <dir>/rewrite.txt, tab-separated, one record a line:
  rule <id> <pattern> <compile option text> <substitute option text> <replacement> <compiles>
  url  <id> <buffer size> <url> <replacements, or F and the error code> <result>
The option texts are in the rule table's own format: names in the first,
third, fifth ... comma-separated field, filler in between. The first line is
"# seed N".
"""
import os
import random
import subprocess
import sys

SEED = 0x0440_0036
RULES = 300

# Our option name -> pcre2test modifier.
COMPILE = {
    "AllowEmptyClass": "allow_empty_class", "AltBSUX": "alt_bsux",
    "AltCircumflex": "alt_circumflex", "AltVerbNames": "alt_verbnames", "Anchored": "anchored",
    "Caseless": "caseless", "DollarEndOnly": "dollar_endonly", "DotAll": "dotall",
    "DupNames": "dupnames", "EndAnchored": "endanchored", "Extended": "extended",
    "FirstLine": "firstline", "Literal": "literal", "MatchUnsetBackRef": "match_unset_backref",
    "MultiLine": "multiline", "NeverBackslashC": "never_backslash_c",
    "NoAutoCapture": "no_auto_capture", "NoAutoPossess": "no_auto_possess",
    "NoDotStarAnchor": "no_dotstar_anchor", "NoStartOptimize": "no_start_optimize",
    "Ungreedy": "ungreedy",
}
# Common ones weigh more, so that most rules compile and match.
COMPILE_COMMON = ["Caseless", "DotAll", "DupNames", "Extended", "Ungreedy", "MultiLine"]
SUBSTITUTE = {
    "Anchored": "anchored", "DupNames": None, "EndAnchored": "endanchored", "NotBol": "notbol",
    "NotEol": "noteol", "NotEmpty": "notempty", "NotEmptyAtStart": "notempty_atstart",
    "Extended": "substitute_extended", "Global": "global", "Literal": "substitute_literal",
    "ReplacementOnly": "substitute_replacement_only", "UnknownUnset": "substitute_unknown_unset",
    "UnsetEmpty": "substitute_unset_empty",
}
SUBSTITUTE_COMMON = ["Global", "Extended", "UnsetEmpty", "Literal", "ReplacementOnly", "DupNames"]

HOSTS = ["cdn.example", "Files.Example", "a.b.example.com", "127.0.0.1:8080", "mirror-2.test"]
SEGMENTS = ["files", "v12", "pieces", "a.bin", "index.html", "Game_1", "x", "2024", "aaaa"]
QUERIES = ["", "?x=1", "?token=abc&v=2", "?a=b#frag", "#top"]

PATTERN_PIECES = [
    r"https?://", r"^http://", r"(\w+)\.example", r"(?<host>[a-z0-9.-]+)", r"/files/",
    r"v(\d+)", r"(?<n>\d+)", r"[a-z]+", r"(cdn|mirror-\d)", r"\.bin$", r"$", r"\?.*",
    r"(?<n>x)|(?<n>y)", r".*?", r"(?:files|pieces)", r"(a*)", r"([A-Z])", r"#.*$", r"/",
    r"example", r"(?<seg>[^/]+)$", r"\.", r"Files", r"(?i)files", r"[[:digit:]]+",
    r"(?<=/)v", r"\b", r"()", r"[]", r" # comment", r"(?:^|/)x",
]
# Pieces that match nearly every generated URL, so that most rules substitute.
PATTERN_LIKELY = [r"(\w+)", r"/", r"[a-z]+", r"(?<host>[a-z0-9.-]+)", r"example", r"(?<seg>[^/]+)$",
                  r"\.", r"https?://", r"(?<n>\d+)", r"(a*)"]
REPLACEMENTS = [
    "$1", "${1}", "$0", "${host}", "${n}", "cdn2.example", "https://", "/mirror/$1/",
    "${1:+one:none}", r"\u$1", r"\U${0}", "$$", "$9", "${missing}", "", "[$0]", "${seg}.part",
    "{SystemAgent}", "$2-$1", "x", "-",
]

# Replacements that name no group, so that they work with any pattern.
REPLACEMENTS_SAFE = ["$0", "x", "-", "cdn2.example", "https://", "[$0]", "{SystemAgent}", "$$",
                     "", "${0}.part", r"\U$0"]


def option_text(rng, names, common):
    picked = []
    for _ in range(rng.choice([0, 1, 1, 2, 3])):
        picked.append(rng.choice(common if rng.random() < 0.7 else sorted(names)))
    fields = []
    for i, name in enumerate(picked):
        if i:
            fields.append(rng.choice(["and", "x", "", "Caseless", "Global"]))  # skipped fields
        fields.append(name.lower() if rng.random() < 0.2 else name)
    return ", ".join(fields) if rng.random() < 0.5 else ",".join(fields), picked


def make_url(rng):
    scheme = rng.choice(["http://", "https://", "HTTP://"])
    path = "/".join(rng.choice(SEGMENTS) for _ in range(rng.randint(0, 4)))
    return scheme + rng.choice(HOSTS) + "/" + path + rng.choice(QUERIES)


def run_pcre2test(pattern, compile_mods, subjects):
    """Subjects: (url, modifiers) pairs. Returns (compiled, [(result field, text)])."""
    delimiter = next(d for d in "/!@%~;" if d not in pattern)
    lines = [delimiter + pattern + delimiter + ",".join(compile_mods)]
    lines += ["    " + url + "\\=" + mods for url, mods in subjects]
    proc = subprocess.run(["pcre2test", "-q"], input="\n".join(lines) + "\n\n", text=True,
                          capture_output=True, timeout=30, check=True)
    out = proc.stdout.split("\n")
    compiled = not (len(out) > 1 and out[1].startswith("Failed: error"))
    results = []
    i = 1
    for url, _ in subjects:
        while not out[i].startswith("    "):
            i += 1
        i += 1
        line = out[i] if i < len(out) else ""
        if not compiled:
            results.append(("F", url))
        elif line.startswith("Failed: error "):
            results.append(("F" + line.split()[2].rstrip(":"), url))
        else:
            count, text = line.split(":", 1)
            results.append((count.strip(), text[1:] if int(count) > 0 else url))
    return compiled, results


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: gen_rewrite.py <vectors-dir>")
    rng = random.Random(SEED)
    rows = []
    try:
        for rule in range(RULES):
            pieces = PATTERN_LIKELY if rng.random() < 0.6 else PATTERN_PIECES
            pattern = "".join(rng.choice(pieces) for _ in range(rng.randint(1, 2)))
            choices = REPLACEMENTS if rng.random() < 0.4 else REPLACEMENTS_SAFE
            replacement = "".join(rng.choice(choices) for _ in range(rng.randint(1, 2)))
            ctext, cnames = option_text(rng, COMPILE, COMPILE_COMMON)
            stext, snames = option_text(rng, SUBSTITUTE, SUBSTITUTE_COMMON)
            compile_mods = sorted({COMPILE[n] for n in cnames})
            smods = sorted({SUBSTITUTE[n] for n in snames if SUBSTITUTE[n]})
            subjects = []
            for _ in range(3):
                url = make_url(rng)
                size = 1024 if rng.random() < 0.8 else len(url) + 1 + rng.randint(0, 12)
                mods = [f"replace=[{size}]{replacement}", "match_limit=1000000",
                        "depth_limit=100000"] + smods
                subjects.append((url, ",".join(mods), size))
            compiled, results = run_pcre2test(pattern, compile_mods,
                                              [(u, m) for u, m, _ in subjects])
            rows.append(("rule", str(rule), pattern, ctext, stext, replacement,
                         "1" if compiled else "0"))
            for (url, _, size), (count, text) in zip(subjects, results):
                rows.append(("url", str(rule), str(size), url, count, text))
    except Exception:
        print(f"gen_rewrite.py failed with seed {SEED:#x}", file=sys.stderr)
        raise
    os.makedirs(sys.argv[1], exist_ok=True)
    with open(os.path.join(sys.argv[1], "rewrite.txt"), "w") as f:
        f.write(f"# seed {SEED:#x}\n")
        for row in rows:
            f.write("\t".join(row) + "\n")


if __name__ == "__main__":
    main()
