#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only those that are missing.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake make g++ clang clang-format pkg-config libgtest-dev libgmock-dev googletest libbenchmark-dev
          libclang-rt-14-dev llvm valgrind python3 mingw-w64 libpcap-dev nlohmann-json3-dev
          libcap-ng-dev libxdp-dev libbpf-dev)
for list in tool/packages.txt tests/live/packages.txt; do
    if [ -f "$list" ]; then
        while read -r name; do
            [ -n "$name" ] && [ "${name#\#}" = "$name" ] && packages+=("$name")
        done < "$list"
    fi
done

missing=()
for p in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
    [ "$status" = "install ok installed" ] || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    echo "missing Debian packages: ${missing[*]} (run as root or install them)" >&2
    exit 1
fi
echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
