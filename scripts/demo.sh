#!/usr/bin/env bash
# The main job, end to end on this machine: installs what is missing (as
# root), builds the default preset, makes a content tree of two versions
# (about 200 MiB; AES-256 and gzip pieces, pads, VCDIFF from v1 to v2, signed
# documents), serves it with nginx over HTTPS on a free 127.0.0.1 port with a
# certificate pinned by the application file, runs `keelson sync` of v1 into
# an empty directory, switches the alias to v2, syncs again and checks both
# with sha1sum -c and by running the installed program bin/tool. Exit
# status: 0 only when all of it passed.
#
#   bash scripts/demo.sh [--size-mib=N]
#
# KEELSON_BIN names a keelson program to use instead of building one.
set -euo pipefail
cd "$(dirname "$0")/.."

size_mib=200
for arg in "$@"; do
  case "$arg" in
    --size-mib=*) size_mib=${arg#--size-mib=} ;;
    *) echo "usage: bash scripts/demo.sh [--size-mib=N]" >&2; exit 2 ;;
  esac
done

source scripts/packages.sh

keelson=${KEELSON_BIN:-}
if [ -z "$keelson" ]; then
  echo "== build (default preset)"
  cmake --preset default >/dev/null
  cmake --build --preset default --target keelson
  keelson=$PWD/build/default/keelson
fi

# The server is on loopback: a proxy of the environment has no part.
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY all_proxy ALL_PROXY

work=$(mktemp -d /tmp/keelson-demo-XXXXXX)
nginx_pid=""
cleanup() {
  if [ -n "$nginx_pid" ]; then kill "$nginx_pid" 2>/dev/null || true; wait "$nginx_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

# A free port below the kernel's range for outgoing connections (one from
# that range may be taken by a connection's local end before nginx binds it),
# held by a helper until nginx listens, so that no other program takes it
# while the tree is made.
coproc port_holder {
  /usr/bin/python3 -B -c 'import sys; sys.path.insert(0, "tests/e2e"); from sync_e2e import free_port; print(free_port(), flush=True); sys.stdin.read()'
}
read -r port <&"${port_holder[0]}"
echo "== content tree: two versions of about $size_mib MiB in $work"
/usr/bin/python3 tests/e2e/make_tree.py "$work" --port "$port" --mib "$size_mib"

echo "== nginx over HTTPS on 127.0.0.1:$port"
nginx -p "$work" -c "$work/nginx.conf" &
nginx_pid=$!
listening=0
for _ in $(seq 100); do
  if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then listening=1; break; fi
  kill -0 "$nginx_pid" 2>/dev/null || break
  sleep 0.1
done
eval "exec ${port_holder[1]}>&-"  # the helper ends, giving the port up to nginx
if [ $listening = 0 ]; then
  echo "demo: nginx does not listen on 127.0.0.1:$port (see $work/nginx.error.log)" >&2
  cat "$work/nginx.error.log" >&2 2>/dev/null || true
  exit 1
fi

sync_version() {
  echo "== keelson sync ($1)"
  "$keelson" sync --app="$work/app.json" --credentials="$work/credentials.json" "$work/repo.json"
  echo "== sha1sum -c ($1)"
  (cd "$work/client/game" && sha1sum -c --quiet "$work/expected/$1.sha1")
  echo "== ./bin/tool --version ($1)"
  [ "$(cd "$work/client/game" && ./bin/tool --version)" = "tool $1" ]
}

sync_version v1
cp "$work/www/aliases/v2.json" "$work/www/alias.json"
sync_version v2
echo "== all passed"
