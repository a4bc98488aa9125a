#!/usr/bin/env bash
# Lists every #include of a project header that goes against the layer order
# of docs/architecture.md, and exits 1 when one is not in the short list of
# allowed exceptions below. A folder calls only folders before it in the
# order and core/posix/; core/posix/ implements declarations of every layer
# and may include any of them. Tests (*_test.cpp, *_test_util.h) may include
# anything: they exercise a module together with what stands on it.
#
#   scripts/check_layers.sh [root]     root: the tree to check (default: this one)
set -euo pipefail
root=${1:-"$(cd "$(dirname "$0")/.." && pwd)"}
cd "$root"

layers=(core/runtime core/formats core/platform core/security core/net core/bridge
        base workflow skin host)

# Allowed upward includes: "<including file, a glob> <included header> <why>".
# Add a line only with a reason someone can argue with.
allowed=(
  "core/runtime/* core/platform/platform.h the runtime's system primitives (clocks, thread ids, console, random bytes) are declared with the platform and implemented in core/posix/"
  "core/runtime/log.cpp core/platform/path.h the log creates its directory through the path module"
  "core/runtime/core_init.cpp core/platform/path.h start-up fills the path module's macro handler slot and finds the log directory"
  "core/runtime/expand.cpp core/formats/dictionary.h the expander walks Dictionary trees, which sit on the runtime"
  "core/runtime/expand.cpp core/platform/registry.h the expander's handler slots are filled by later modules"
  "core/runtime/expand.cpp core/security/hash.h the expander's handler slots are filled by later modules"
  "core/runtime/expand.cpp core/security/hmac.h the expander's handler slots are filled by later modules"
  "core/runtime/core_init.cpp core/security/executable.h start-up reads our own file's version fields before the log header and fills the expander's version slot"
  "core/runtime/log.cpp core/security/executable.h the log header names our own file's version fields"
  "core/runtime/mime.cpp core/security/hash.h the extension table is keyed by CRC-32"
  "core/platform/registry.cpp core/security/auth.h the registry whitelist obeys the process-wide security switch, which lives with authentication"
  "core/platform/process.cpp core/security/hashfile.h a process checks its program's SHA-1 and signature before starting it, through the file hashing and authentication services"
  "core/platform/process.cpp core/security/hash.h the SHA-1 record that the process's file hasher is bound to"
  "core/platform/process.cpp core/security/authasync.h a process checks its program's SHA-1 and signature before starting it, through the file hashing and authentication services"
  "core/platform/process.cpp core/security/auth.h the signature is checked against the \"app\" store of the authentication registry"
  "core/platform/process.cpp core/security/certstorei.h the process releases its reference on the \"app\" store"
  "core/formats/*.cpp core/platform/file.h the formats' File entry points read and write documents through File"
)

rank() {  # the layer index of a path, or -1 for core/posix/ and files outside the layers
  local i
  for i in "${!layers[@]}"; do
    case $1 in "${layers[$i]}"/*) echo "$i"; return ;; esac
  done
  echo -1
}

is_allowed() {  # file header
  local entry from to
  for entry in "${allowed[@]}"; do
    read -r from to _ <<<"$entry"
    # shellcheck disable=SC2053  # from is a glob
    [[ $1 == $from && $2 == "$to" ]] && return 0
  done
  return 1
}

found=0
while IFS= read -r file; do
  case $file in *_test.cpp | *_test_util.h) continue ;; esac
  own=$(rank "$file")
  [ "$own" -lt 0 ] && continue
  while IFS= read -r header; do
    theirs=$(rank "$header")
    [ "$theirs" -le "$own" ] && continue
    is_allowed "$file" "$header" && continue
    echo "$file: includes $header (${layers[$theirs]} comes after ${layers[$own]})"
    found=1
  done < <(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' "$file")
done < <(find "${layers[@]}" -type f \( -name '*.h' -o -name '*.cpp' \) 2>/dev/null | sort)

if [ "$found" -ne 0 ]; then
  echo "check_layers: upward includes found; move the code, or add an allowed line with its reason" >&2
fi
exit "$found"
