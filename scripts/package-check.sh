#!/usr/bin/env bash
# Builds the Debian packages of this tree (its uncommitted changes too), and
# of the previous release (below) as the previous version, runs lintian, then
# on this machine, twice over: installs the previous version, fills its
# database, upgrades to this one (which must migrate it and keep its rows),
# reinstalls it, removes and purges the packages (each of those twice),
# checking the programs, the user, the conffiles and the libraries after each
# step.  Needs root (or sudo); leaves nothing installed.
#
# usage: scripts/package-check.sh [NEW [OLD]]
#   NEW, OLD: directories holding packages already built (NEW with its
#   .changes), used instead of building; without OLD there is no upgrade.
set -euo pipefail
cd "$(dirname "$0")/.."

sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
as_root() { "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive "$@"; }
packages=(libblr1 libblr-dev blr blr-anchor blr-proxy-sim)
step() { echo "== $*"; }
fail() { echo "package check: $*" >&2; exit 1; }

work=$(mktemp -d /tmp/blr-package-check.XXXXXX)
trap 'rm -rf "$work"' EXIT
# ccache, when there is one, makes the second build cheap (and the first,
# after a build of the same sources elsewhere: paths are taken relative to
# the tree).
[ ! -d /usr/lib/ccache ] || export PATH=/usr/lib/ccache:$PATH CCACHE_NOHASHDIR=1

# build DIR VERSION [REV]: the packages of REV (default: this tree) as
# VERSION, in DIR.
build() {
  local dir=$1 version=$2 tree=${3:-}
  mkdir -p "$dir/src"
  [ -n "$tree" ] || tree=$(git stash create)
  git archive "${tree:-HEAD}" | tar -x -C "$dir/src"
  sed -i "1s/(.*)/($version)/" "$dir/src/debian/changelog"
  (cd "$dir/src" && CCACHE_BASEDIR=$PWD dpkg-buildpackage -b -us -uc -j"$(nproc)") >"$dir/build.log" 2>&1 ||
    { tail -n 40 "$dir/build.log"; fail "the build of $version failed"; }
}

version=$(dpkg-parsechangelog -S Version)
previous=$version~prev
# The previous release: BLR_PREVIOUS_REV, or the tree just before the newest
# schema step, so that the upgrade migrates a database of the older schema.
previous_rev=${BLR_PREVIOUS_REV:-$(git log -1 --diff-filter=A --format=%H -- schema/sqlite/anchor)^}
new=${1:-$work/new} old=${2:-}
if [ $# -eq 0 ]; then
  step "build $version, and $previous from $(git rev-parse --short "$previous_rev")"
  build "$new" "$version"
  old=$work/old
  build "$old" "$previous" "$(git rev-parse "$previous_rev")"
fi
changes=$(ls "$new/blr_${version}_"*.changes)
[ "$(ls "$new/"*_"$version"_*.deb | grep -vc dbgsym)" -eq ${#packages[@]} ] ||
  fail "the build did not make ${#packages[@]} packages"

step "lintian"
lintian_out=$(lintian --info "$changes" 2>&1) || true
echo "${lintian_out:-(nothing)}"
! grep -q '^E: ' <<<"$lintian_out" || fail "lintian reports errors"
[ "$(grep -c '^W: ' <<<"$lintian_out")" -le 2 ] || fail "lintian reports more than 2 warnings"

debs() { for p in "${packages[@]}"; do ls "$1/${p}_$2_"*.deb; done; }
install_debs() { as_root apt-get install -y -qq --allow-downgrades "$@" >/dev/null; }

installed() {  # installed VERSION
  local p program
  for p in "${packages[@]}"; do
    [ "$(dpkg-query -W -f='${Status} ${Version}' "$p")" = "install ok installed $1" ] ||
      fail "$p is not installed at $1"
  done
  for program in blr blr-anchor blr-proxy; do
    /usr/bin/$program --help >/dev/null || fail "$program --help failed"
  done
  local uid
  uid=$(getent passwd blr | cut -d: -f3) || fail "no user blr"
  [ "$uid" -lt 1000 ] || fail "blr is not a system user"
  [ "$(stat -c %U /var/lib/blr)" = blr ] || fail "/var/lib/blr does not belong to blr"
  for lib in libblr.so.1 libblrhost.so.1; do
    ldconfig -p | grep -q "^[[:space:]]*$lib " || fail "ldconfig does not know $lib"
  done
  dpkg-query -W -f='${Conffiles}\n' blr-anchor | grep -q ' /etc/blr/anchor.reg ' ||
    fail "/etc/blr/anchor.reg is not a conffile"
  grep -q '^# kept by the package check$' /etc/blr/anchor.reg ||
    fail "the local change to /etc/blr/anchor.reg was lost"
  grep -qx 'ExecStart=/usr/bin/blr-anchor serve --registry /etc/blr/anchor.reg' \
    "$(dpkg -L blr-anchor | grep '/blr-anchor.service$')" || fail "wrong unit"
  for page in man1/blr.1 man8/blr-anchor.8 man1/blr-proxy.1 man5/blr.reg.5; do
    [ -f "/usr/share/man/$page.gz" ] || fail "no manual page $page"
  done
  bash -n /usr/share/bash-completion/completions/blr || fail "bad completion file"
}

# The anchor's database, as the blr user keeps it with the shipped registry.
anchor_admin() { as_root runuser -u blr -- /usr/bin/blr-anchor "$@" --registry /etc/blr/anchor.reg; }

populate() {
  anchor_admin client add --id 20 --name tail1 --host 10.0.0.7 --dwd-port 8406 --evmgrc-port 8407 \
    >/dev/null || fail "couldn't add a client to the database"
}

kept_data() {  # after an upgrade: migrated, with its rows
  anchor_admin migrate >"$work/migrate.log" 2>&1 || { cat "$work/migrate.log"; fail "migrate failed"; }
  anchor_admin client list | grep -q 'tail1' || fail "the upgrade lost the client directory"
}

removed() {  # removed purged|kept: the conffiles
  local p
  for p in "${packages[@]}"; do
    ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q ' installed$' || fail "$p is still installed"
  done
  [ ! -e /usr/bin/blr ] || fail "/usr/bin/blr is still there"
  ! ldconfig -p | grep -q 'libblr\.so\.1 ' || fail "ldconfig still knows libblr.so.1"
  getent passwd blr >/dev/null || fail "the user blr went away"
  if [ "$1" = kept ]; then
    [ -f /etc/blr/anchor.reg ] || fail "remove took /etc/blr/anchor.reg"
  else
    [ ! -e /etc/blr ] || fail "purge left /etc/blr: $(ls -A /etc/blr)"
    [ ! -e /var/log/blr ] || fail "purge left /var/log/blr"
  fi
}

# The database the check fills is its own: purging keeps databases, so the
# check removes it after each round, and won't run beside a real one.
db=/var/lib/blr/db
[ ! -e "$db" ] || fail "$db exists: run the check on a machine without a blr database"
trap 'rm -rf "$work"; as_root rm -rf "$db"' EXIT

for round in 1 2; do
  first=$version
  [ -z "$old" ] || first=$previous
  step "round $round: install $first"
  install_debs $(debs "${old:-$new}" "$first")
  echo "# kept by the package check" | as_root tee -a /etc/blr/anchor.reg >/dev/null
  installed "$first"
  populate
  if [ -n "$old" ]; then
    step "round $round: upgrade to $version, with a populated database"
    install_debs $(debs "$new" "$version")
    installed "$version"
    kept_data
  fi
  step "round $round: reinstall $version twice"
  for _ in 1 2; do
    as_root apt-get install -y -qq --reinstall $(debs "$new" "$version") >/dev/null
    installed "$version"
  done
  step "round $round: remove twice, purge twice"
  for _ in 1 2; do
    as_root dpkg -r "${packages[@]}" >/dev/null 2>&1
    removed kept
  done
  for _ in 1 2; do
    as_root dpkg -P "${packages[@]}" >/dev/null 2>&1
    removed purged
  done
  [ -d "$db" ] || fail "purge took the database"
  as_root rm -rf "$db"
done
echo "package check passed"
