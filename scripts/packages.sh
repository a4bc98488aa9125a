# Sourced by scripts/test.sh and scripts/demo.sh: installs what is missing of
# scripts/packages.txt when run as root (apt-get update first); otherwise
# names the missing packages and exits 1.
mapfile -t packages < <(grep -v '^#' scripts/packages.txt | grep -v '^[[:space:]]*$')
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "Missing Debian packages: ${missing[*]}" >&2
    echo "Install them as root (apt-get install ${missing[*]}) and run this again." >&2
    exit 1
  fi
  echo "Installing: ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
fi
