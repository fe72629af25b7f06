#!/usr/bin/env bash
# Makes, once per machine, a Debian sid chroot with the newest Python release
# and a venv holding the test requirements, in $KILN_CACHE (outside the clone).
# It is built under a temporary name and renamed when complete, so a half-made
# one is never used; one made with another list of requirements gets them
# installed. With --remove, removes it instead.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

version=$SID_PYTHON
dir=$SID_DIR

complete() { [ -f "$dir/.kiln-complete" ] && [ -f "$dir$SID_VENV/pyvenv.cfg" ] && [ -x "$dir/usr/bin/python$version" ]; }
requirements_met() { [ "$(cat "$dir/.kiln-requirements" 2>/dev/null)" = "${TEST_REQUIREMENTS[*]}" ]; }

# in_chroot ROOT COMMAND...: with /proc mounted for the call only, and a
# clean environment (the host's pip settings name paths the chroot lacks).
in_chroot() {
  local root=$1; shift
  mount -t proc proc "$root/proc"
  local rc=0
  chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 PATH=/usr/sbin:/usr/bin:/sbin:/bin \
    PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_DEFAULT_TIMEOUT="${PIP_DEFAULT_TIMEOUT:-60}" \
    ${PIP_INDEX_URL:+PIP_INDEX_URL="$PIP_INDEX_URL"} \
    ${http_proxy:+http_proxy="$http_proxy"} ${https_proxy:+https_proxy="$https_proxy"} \
    ${no_proxy:+no_proxy="$no_proxy"} "$@" || rc=$?
  umount "$root/proc" || umount -l "$root/proc"
  return $rc
}

# Removes a tree that may still have /proc mounted, without crossing into it.
remove_tree() {
  local tree=$1
  if mountpoint -q "$tree/proc" 2>/dev/null; then umount "$tree/proc" || umount -l "$tree/proc"; fi
  rm -rf --one-file-system "$tree"
}

if [ "${1:-}" = --remove ]; then
  [ -e "$dir" ] || compgen -G "$dir.tmp.*" >/dev/null || { echo "no sid chroot in $dir"; exit 0; }
  exec 9>"$dir.lock"
  flock 9
  for tree in "$dir" "$dir".tmp.*; do
    [ -e "$tree" ] && remove_tree "$tree"
  done
  echo "removed $dir"
  exit 0
fi

if complete && requirements_met; then
  exit 0
fi

[ "$(id -u)" -eq 0 ] || die "making the sid chroot needs root"
command -v mmdebstrap >/dev/null 2>&1 || ensure_debs mmdebstrap
mkdir -p "$KILN_CACHE"
exec 9>"$dir.lock"
flock 9
# install_requirements ROOT: the test requirements into ROOT's venv, then the
# stamp naming them. The host's CA bundle goes in too: its network may reach
# PyPI through a proxy whose CA only the host trusts.
install_requirements() {
  local root=$1 bundle='' candidate cert=()
  for candidate in "${PIP_CERT:-}" "${SSL_CERT_FILE:-}" "${REQUESTS_CA_BUNDLE:-}" /etc/ssl/certs/ca-certificates.crt; do
    if [ -n "$candidate" ] && [ -s "$candidate" ]; then bundle=$candidate; break; fi
  done
  if [ -n "$bundle" ]; then
    cp -L "$bundle" "$root/etc/ssl/certs/kiln-host-bundle.crt"
    cert=(--cert /etc/ssl/certs/kiln-host-bundle.crt)
  fi
  in_chroot "$root" "$SID_VENV/bin/python" -m pip install -q "${cert[@]}" "${TEST_REQUIREMENTS[@]}"
  echo "${TEST_REQUIREMENTS[*]}" >"$root/.kiln-requirements"
}

if complete; then   # made by another run while we waited, or with other requirements
  requirements_met || { log "installing ${TEST_REQUIREMENTS[*]} into the sid chroot's venv"; install_requirements "$dir"; }
  exit 0
fi

# Leftovers of interrupted runs, and an incomplete final directory.
for stale in "$dir".tmp.*; do
  [ -e "$stale" ] && remove_tree "$stale"
done
[ -e "$dir" ] && remove_tree "$dir"

tmp="$dir.tmp.$$"
trap 'remove_tree "$tmp"' EXIT
trap 'exit 130' INT TERM
log "making the Debian sid chroot with Python $version in $dir (once per machine)"
start=$SECONDS
# The mirror's sid index can be older than its Valid-Until date.
mmdebstrap --variant=minbase --aptopt='Acquire::Check-Valid-Until "false"' \
  --include="python$version,python$version-venv,ca-certificates" sid "$tmp"
cp -L /etc/resolv.conf "$tmp/etc/resolv.conf"
in_chroot "$tmp" "python$version" -m venv "$SID_VENV"
install_requirements "$tmp"
in_chroot "$tmp" "$SID_VENV/bin/python" -c 'import sys, pytest; print("chroot:", sys.version.split()[0], "pytest", pytest.__version__)'
touch "$tmp/.kiln-complete"
mv "$tmp" "$dir"
trap - EXIT
log "sid chroot ready in $((SECONDS - start)) s ($(du -sh "$dir" | cut -f1))"
