#!/bin/sh
# Builds the two archives of the add-on from built programs:
#   the add-on package: opt/kivclient/... to be unpacked into / on the router;
#   the self-update package: kivclient/... with etc/re-install, which the
#   agent's UpdateOrblet command unpacks and starts.
#
#   make-archives.sh SOURCE_DIR STRIP VERSION ADDON_ARCHIVE UPDATE_ARCHIVE PROGRAM...
set -eu

src=$1 strip=$2 version=$3 addon=$4 update=$5
shift 5

stage=$(mktemp -d "${TMPDIR:-/tmp}/kivpackage.XXXXXX")
trap 'rm -rf "$stage"' EXIT

home=$stage/addon/opt/kivclient
upd=$stage/update/kivclient
mkdir -p "$home/etc" "$upd/etc"

for program in "$@"; do
    name=$(basename "$program")
    "$strip" -s -o "$home/$name" "$program"
    chmod 755 "$home/$name"
    cp "$home/$name" "$upd/$name"
done

install -m 755 "$src/init" "$home/etc/init"
install -m 644 "$src/settings" "$home/etc/settings"
install -m 644 "$src/settings.kivcsys" "$home/etc/settings.kivcsys"
: > "$home/etc/whitelist"
chmod 644 "$home/etc/whitelist"
printf '%s\n' "$version" > "$home/etc/version"
chmod 644 "$home/etc/version"

install -m 755 "$src/init" "$upd/etc/init"
install -m 755 "$src/re-install" "$upd/etc/re-install"
install -m 644 "$home/etc/version" "$upd/etc/version"

# Root-owned entries in a fixed order; the add-on holds no entry for "opt"
# itself, so unpacking it into / leaves the router's /opt as it is.
pack() {
    (cd "$1" && tar --format=ustar --sort=name --owner=0 --group=0 --numeric-owner -cf - "$2") | gzip -n -9 > "$3.tmp"
    mv -f "$3.tmp" "$3"
}
pack "$stage/addon" opt/kivclient "$addon"
pack "$stage/update" kivclient "$update"
