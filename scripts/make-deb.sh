#!/usr/bin/env bash
# Lays out the Debian package of the Linux programs from a build folder and builds it with
# dpkg-deb (no network): build/merrowfaldine_VERSION_ARCH.deb.
#   usage: scripts/make-deb.sh BUILD_DIR
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=$(cd "${1:?usage: make-deb.sh BUILD_DIR}" && pwd)
VERSION=${MF_VERSION:-0.1.0}
ARCH=$(dpkg --print-architecture)
STAGE=$BUILD/deb/root
rm -rf "$BUILD/deb"

install -D -m 0755 "$BUILD/bridge/merrowfaldine-guard" "$STAGE/usr/sbin/merrowfaldine-guard"
install -D -m 0755 "$BUILD/bridge/merrowfaldine-ctl" "$STAGE/usr/bin/merrowfaldine-ctl"
install -D -m 0755 "$BUILD/replay/merrowfaldine-replay" "$STAGE/usr/bin/merrowfaldine-replay"
strip --strip-unneeded "$STAGE"/usr/sbin/* "$STAGE"/usr/bin/*
install -D -m 0644 "$ROOT/packaging/merrowfaldine-guard.service" \
    "$STAGE/lib/systemd/system/merrowfaldine-guard.service"
install -D -m 0644 "$ROOT/packaging/guard.conf" "$STAGE/etc/merrowfaldine/guard.conf"
install -D -m 0644 "$ROOT/packaging/policy.json" "$STAGE/etc/merrowfaldine/policy.json"
install -D -m 0644 "$ROOT/packaging/logrotate" "$STAGE/etc/logrotate.d/merrowfaldine"
install -D -m 0644 "$ROOT/README.md" "$STAGE/usr/share/doc/merrowfaldine/README.md"
install -d -m 0755 "$STAGE/DEBIAN"
for script in postinst prerm postrm; do
    install -m 0755 "$ROOT/packaging/$script" "$STAGE/DEBIAN/$script"
done
(cd "$STAGE" && find etc -type f | sed 's|^|/|' | sort) >"$STAGE/DEBIAN/conffiles"

# The libraries the programs link, as package dependencies.
mkdir -p "$BUILD/deb/shlibs/debian"
echo "Source: merrowfaldine" >"$BUILD/deb/shlibs/debian/control"
depends=$(cd "$BUILD/deb/shlibs" &&
    dpkg-shlibdeps -O "$STAGE"/usr/sbin/merrowfaldine-guard "$STAGE"/usr/bin/merrowfaldine-ctl \
        "$STAGE"/usr/bin/merrowfaldine-replay 2>/dev/null | sed -n 's/^shlibs:Depends=//p')
size=$(du -sk --exclude=DEBIAN "$STAGE" | cut -f1)
cat >"$STAGE/DEBIAN/control" <<EOT
Package: merrowfaldine
Version: $VERSION
Architecture: $ARCH
Maintainer: Merrowfaldine developers <root@localhost>
Installed-Size: $size
Depends: $depends
Recommends: logrotate
Section: net
Priority: optional
Description: access rules for SMB file servers, enforced in the wire
 merrowfaldine-guard forwards every frame between two Ethernet interfaces in front of a
 file server, follows its SMB1/SMB2/SMB3 traffic and NTLM logons, and refuses the
 operations its policy denies (delete, modify, rename, create, read) by spoiling the
 request and answering STATUS_ACCESS_DENIED. merrowfaldine-ctl talks to a running guard;
 merrowfaldine-replay runs captures through the same engine.
EOT
dpkg-deb --root-owner-group -Zxz --build "$STAGE" "$BUILD/merrowfaldine_${VERSION}_${ARCH}.deb" >/dev/null
echo "$BUILD/merrowfaldine_${VERSION}_${ARCH}.deb"
