#!/usr/bin/env bash
# Installs Wine's 32-bit loader (wine32:i386) beside wine64, for running i386 kernel drivers
# under Wine. Fails loudly when it cannot be had.
#
# A plain `apt-get install wine32:i386` can give up, or remove wine64, when an amd64
# library that both architectures must share at one version (Multi-Arch: same) is
# installed at a version the i386 index does not offer. Each such library is first moved,
# on both architectures together, to the version the i386 index offers.
set -euo pipefail

have_wine32() {
    [ "$(dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null || true)" = "install ok installed" ] &&
        [ -x /usr/lib/wine/wine ] && [ -x /usr/lib/wine/wine64 ]
}
# Installed is not enough: the loader is a 32-bit program, and a kernel without 32-bit
# emulation (ia32_emulation off) runs it only through qemu-user, which
# install-qemu-i386.sh sets up.
wine32_runs() {
    "$(dirname "$0")/install-qemu-i386.sh" || return 1
    /usr/lib/wine/wine --version > /dev/null 2>&1 && return 0
    echo "Wine's 32-bit loader is installed but cannot run here: $(/usr/lib/wine/wine --version 2>&1)" >&2
    return 1
}
if have_wine32; then
    wine32_runs
    exit
fi
if [ "$(id -u)" -ne 0 ]; then
    echo "wine32:i386 is missing (run as root to install it)" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
echo "installing wine32:i386"
dpkg --add-architecture i386
# A mirror that is mid-sync can fail one index; the others are still used.
apt-get update -qq || true

# The i386 packages wine32 needs, by name.
closure=$(apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts \
    --no-breaks --no-replaces --no-enhances wine32:i386 2>/dev/null |
    grep -v '^ ' | grep ':i386$' | sort -u)
read -r -a pins < <(python3 "$(dirname "$0")/wine32_pins.py" <<< "$closure")
apt-get install -y -qq --no-install-recommends --allow-downgrades "${pins[@]}" wine32:i386 \
    > /tmp/install-wine32.log 2>&1 || {
    tail -n 30 /tmp/install-wine32.log >&2
    echo "wine32:i386 could not be installed" >&2
    exit 1
}
have_wine32 || {
    echo "wine32:i386 is not usable after the install (wine64 removed?)" >&2
    exit 1
}
wine32_runs
echo "wine32:i386 installed"
