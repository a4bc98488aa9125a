#!/bin/bash
# Kill-and-resume soak of the file storage with a large version: the test
# StorageFileFaults.KillAndResume (16 MiB in CI) against a blob of SIZE_MIB
# (default 1024) written under /var/tmp.
#   scripts/storagefile_soak.sh [BUILD_DIR] [SIZE_MIB]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/default}
size_mib=${2:-1024}
work=$(mktemp -d /var/tmp/keelson-soak-XXXXXX)
trap 'rm -rf "$work"' EXIT
python3 -B -c "
import random, sys
sys.path.insert(0, 'tests')
from contenttree import install
install.write_kill('$work/contenttree/install', random.Random(47), $size_mib << 20)
"
KEELSON_VECTORS=$work "$build/keelson_tests" --gtest_filter='StorageFileFaults.KillAndResume'
