#!/bin/bash
# The Debian package as a shop's machine gets it: its control data and maintainer
# scripts, the exact files it holds with their owners and modes, then the programs, manual
# pages, udev rule, service unit and configuration, and the demo taken from the extracted
# package alone, and finally a staged `make install`.
# Nothing is installed into the system (dpkg-deb only, never dpkg -i).
# Usage: tests/package/check.sh <package.deb> [build directory, default build]
set -euo pipefail

fail() {
  echo "package check: FAILED: $*" >&2
  exit 1
}
step() { echo "package check: $*"; }

[ $# -ge 1 ] || fail "usage: $0 <package.deb> [build directory]"
[ -f "$1" ] || fail "$1: no such package"
deb=$(realpath "$1")
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(realpath -m "${2:-$root/build}")

version=$(sed -n 's/^#define VERSION "\(.*\)"/\1/p' "$root/config.h")
[ -n "$version" ] || fail "no VERSION in $root/config.h"
arch=$(dpkg --print-architecture)

work=$(mktemp -d "${TMPDIR:-/tmp}/cassard-package.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM
pkgroot=$work/root
mkdir "$pkgroot"

# --- metadata ---------------------------------------------------------------------------
step "metadata of ${deb##*/}"
[ "${deb##*/}" = "cassard_${version}_${arch}.deb" ] \
  || fail "file name ${deb##*/}, expected cassard_${version}_${arch}.deb"
dpkg-deb --info "$deb" >/dev/null || fail "dpkg-deb cannot read $deb"

field() { dpkg-deb --field "$deb" "$1"; }
expect_field() {
  local got
  got=$(field "$1")
  [ "$got" = "$2" ] || fail "control field $1 is '$got', expected '$2'"
}
expect_field Package cassard
expect_field Version "$version"
expect_field Architecture "$arch"
expect_field Maintainer "cassard developers <cassard-dev@example.org>"
expect_field Section utils
for dep in adduser init-system-helpers libsqlite3-0 libsystemd0 libmicrohttpd12; do
  [[ $(field Depends) =~ (^|,[[:space:]]*)$dep([[:space:]]|,|$) ]] || fail "Depends does not name $dep"
done
expect_field Priority optional
depends=$(field Depends)
[[ $depends =~ (^|,[[:space:]]*)libc6([[:space:]]|,|$) ]] \
  || fail "Depends does not name libc6: '$depends'"
description=$(field Description)
summary=$(head -n 1 <<<"$description")
[ -n "$summary" ] || fail "the Description has no summary line"
[ "${#summary}" -le 80 ] || fail "the Description's summary is longer than 80 columns"
[ "$(wc -l <<<"$description")" -ge 3 ] || fail "the Description has no long text"
grep -q ecrsim <<<"$description" || fail "the Description does not say that ecrsim is included"
if awk 'length > 80 { bad = 1 } END { exit !bad }' <<<"$description"; then
  fail "a Description line is longer than 80 columns"
fi

# The control archive: owned by root, not writable by anyone else.
while read -r mode owner _ _ _ name; do
  [ "$owner" = root/root ] || fail "control member $name is owned by $owner"
  case $name in
  ./) ;;
  ./control | ./md5sums | ./conffiles) [ "$mode" = -rw-r--r-- ] || fail "control member $name has mode $mode" ;;
  ./postinst | ./prerm | ./postrm) [ "$mode" = -rwxr-xr-x ] || fail "control member $name has mode $mode" ;;
  *) fail "unexpected control member $name" ;;
  esac
done < <(dpkg-deb --ctrl-tarfile "$deb" | tar -tvf -)

# --- Debian's own checks ----------------------------------------------------------------
step "lintian"
# Errors and warnings fail; the informational tags left are about section names the
# strip leaves in the binaries.
lintian --tag-display-limit 0 "$deb" >"$work/lintian" 2>"$work/lintian.err" || true
if grep -E '^[EW]: ' "$work/lintian" >&2; then
  fail "lintian finds errors or warnings in the package"
fi
if grep -v 'running with root privileges' "$work/lintian.err" | grep . >&2; then
  fail "lintian could not check the package"
fi

# --- contents ---------------------------------------------------------------------------
step "contents"
# The files and only the files a shop should get. The example sales files and the
# register profiles are every one in the source tree.
expected_files() {
  cat <<'EOF'
etc/cassard/cassardd.toml
usr/bin/cassard
usr/bin/ecrsim
usr/lib/systemd/system/cassardd.service
usr/sbin/cassardd
usr/share/doc/cassard/README.md
usr/share/doc/cassard/changelog.gz
usr/share/doc/cassard/copyright
usr/share/doc/cassard/examples/demo.sh
usr/share/doc/cassard/examples/udev/99-cassard.rules
usr/share/man/man1/cassard.1.gz
usr/share/man/man1/ecrsim.1.gz
usr/share/man/man8/cassardd.8.gz
EOF
  local f
  for f in "$root"/docs/*.md "$root"/docs/*.json "$root"/docs/*.png; do echo "usr/share/doc/cassard/docs/${f##*/}"; done
  if [ -d "$root/web" ]; then
    (cd "$root/web" && find . -type f | sed 's|^\./|usr/share/cassard/web/|')
  fi
  for f in "$root"/examples/*.ECR; do echo "usr/share/doc/cassard/examples/${f##*/}"; done
  for f in "$root"/tests/data/profiles/*.json; do echo "usr/share/cassard/profiles/${f##*/}"; done
}
expected_files | LC_ALL=C sort >"$work/expected"

: >"$work/files"
while read -r mode owner _ _ _ name rest; do
  [ -z "$rest" ] || fail "$name: a link or a name with spaces ($rest)"
  [ "$owner" = root/root ] || fail "$name is owned by $owner, not root/root"
  name=${name#./}
  case $name in
  "" | usr/* | etc/ | etc/cassard/ | etc/cassard/cassardd.toml) ;;
  *) fail "$name is outside usr/: everything but the service's configuration, the udev rule too, belongs under /usr" ;;
  esac
  case $name in
  usr/local | usr/local/*) fail "$name: the package must not touch /usr/local" ;;
  esac
  case $mode in
  d*)
    [ "$mode" = drwxr-xr-x ] || fail "directory $name has mode $mode"
    ;;
  -*)
    case $name in
    usr/bin/* | usr/sbin/* | */examples/demo.sh) want=-rwxr-xr-x ;;
    *) want=-rw-r--r-- ;;
    esac
    [ "$mode" = "$want" ] || fail "$name has mode $mode, expected $want"
    echo "$name" >>"$work/files"
    ;;
  *) fail "$name is neither a file nor a directory ($mode)" ;;
  esac
done < <(dpkg-deb --contents "$deb")
LC_ALL=C sort -o "$work/files" "$work/files"

# Names the build gives its test, fuzz and benchmark programs, and libraries or headers.
if grep -E '(^|/)(test|fuzz|bench)_[^/]*$|_tests?$|\.(a|h|so(\.[0-9]+)*)$' "$work/files" >"$work/stray"; then
  fail "test, fuzz, benchmark or library files in the package: $(tr '\n' ' ' <"$work/stray")"
fi
if ! diff -u "$work/expected" "$work/files" >"$work/files.diff"; then
  cat "$work/files.diff" >&2
  fail "the package's files differ from the expected list (- missing, + unexpected)"
fi
nfiles=$(wc -l <"$work/files")

# --- what was extracted -----------------------------------------------------------------
step "extracted programs, manual pages, udev rule"
dpkg-deb --extract "$deb" "$pkgroot"
dpkg-deb --control "$deb" "$work/control"
(cd "$pkgroot" && md5sum --quiet -c "$work/control/md5sums") >"$work/md5.out" 2>&1 \
  || fail "the extracted files do not match the package's md5sums: $(cat "$work/md5.out")"

# Whatever its name, no other program than the three may ride along.
while IFS= read -r f || [ -n "$f" ]; do
  case $f in
  usr/bin/cassard | usr/bin/ecrsim | usr/sbin/cassardd) ;;
  *) [[ $(file -b "$pkgroot/$f") != ELF* ]] || fail "$f is a compiled program or library" ;;
  esac
done <"$work/files"
for bin in bin/cassard bin/ecrsim sbin/cassardd; do
  desc=$(file -b "$pkgroot/usr/$bin")
  [[ $desc == ELF* ]] || fail "usr/$bin is not an ELF program: $desc"
  [[ $desc == *", stripped"* ]] || fail "usr/$bin is not stripped: $desc"
done

# version_is PROGRAM EXPECTED: the first line --version prints, and a zero exit status.
version_is() {
  local out status=0
  out=$(timeout 10 "$pkgroot/usr/$1" --version </dev/null 2>"$work/${1##*/}.err") || status=$?
  [ "$status" -eq 0 ] || fail "$1 --version ended with status $status: $(head -c 300 "$work/${1##*/}.err")"
  [ "$(head -n 1 <<<"$out")" = "$2" ] || fail "$1 --version printed '$(head -n 1 <<<"$out")', expected '$2'"
}
version_is bin/cassard "cassard $version"
version_is bin/ecrsim "ecrsim (cassard) $version"
version_is sbin/cassardd "cassardd (cassard) $version"

for page in man1/cassard.1 man1/ecrsim.1 man8/cassardd.8; do
  gz=$pkgroot/usr/share/man/$page.gz
  gzip -t "$gz" 2>/dev/null || fail "$page.gz is not a sound gzip file"
  # Compressed with -n: no stored name or time stamp, the same bytes at every build.
  read -r flags t0 t1 t2 t3 < <(od -An -tu1 -j3 -N5 "$gz")
  if [ $((flags & 8)) -ne 0 ] || [ $((t0 + t1 + t2 + t3)) -ne 0 ]; then
    fail "$page.gz carries a file name or a time stamp (gzip without -n)"
  fi
  zcat "$gz" | groff -man -ww -z -Tutf8 2>"$work/groff.err" || fail "groff failed on $page"
  [ ! -s "$work/groff.err" ] || fail "groff warns about $page: $(head -n 5 "$work/groff.err")"
done

# The udev rule: udevadm is not on the build machine, so its syntax is parsed here. Each
# rule line is comma-separated KEY op "value" pairs; the one rule must match the adapter
# by its own serial number and carry every assignment the README promises.
check_udev_rule() {
  local file=$1 n=0 rules=0 line rest key op value
  local pair='^[[:space:]]*([A-Z_]+(\{[A-Za-z0-9_]+\})?)[[:space:]]*(==|!=|\+=|:=|=)[[:space:]]*"([^"]*)"[[:space:]]*(.*)$'
  local -A have=()
  while IFS= read -r line || [ -n "$line" ]; do
    n=$((n + 1))
    [[ $line =~ ^[[:space:]]*(#.*)?$ ]] && continue
    rules=$((rules + 1))
    [[ $line != *\\ ]] || fail "udev rule line $n: no continuation lines, please"
    rest=$line
    while :; do
      [[ $rest =~ $pair ]] || fail "udev rule line $n: not a KEY op \"value\" pair at: $rest"
      key=${BASH_REMATCH[1]} op=${BASH_REMATCH[3]} value=${BASH_REMATCH[4]} rest=${BASH_REMATCH[5]}
      case ${key%%\{*} in
      ACTION | KERNEL | KERNELS | SUBSYSTEM | SUBSYSTEMS | DRIVER | DRIVERS | ATTRS | TAGS)
        [[ $op == "==" || $op == "!=" ]] || fail "udev rule line $n: $key is a match, not an assignment ($op)" ;;
      GROUP | OWNER | MODE | RUN | OPTIONS)
        [[ $op != "==" && $op != "!=" ]] || fail "udev rule line $n: $key is an assignment, not a match ($op)" ;;
      SYMLINK | ENV | ATTR | TAG | NAME) ;;
      *) fail "udev rule line $n: unknown key $key" ;;
      esac
      [ -n "$value" ] || fail "udev rule line $n: $key has an empty value"
      have["$key$op\"$value\""]=1
      have["$key$op"]=1
      [[ $rest =~ ^[[:space:]]*$ ]] && break
      [[ $rest =~ ^,(.*)$ ]] || fail "udev rule line $n: pairs must be separated by commas: $rest"
      rest=${BASH_REMATCH[1]}
    done
  done <"$file"
  [ "$rules" -eq 1 ] || fail "udev rule: expected one rule line, found $rules"
  for want in 'SUBSYSTEM=="tty"' 'SYMLINK+="ca300"' 'GROUP="dialout"' 'MODE="0660"' \
    'ENV{ID_MM_DEVICE_IGNORE}="1"' 'ATTRS{serial}=='; do
    [ -n "${have[$want]:-}" ] || fail "udev rule: $want is missing"
  done
  if [ -n "${have['ATTRS{idVendor}==']:-}" ] && [ -z "${have['ATTRS{idProduct}==']:-}" ]; then
    fail "udev rule: a vendor id without a product id matches every adapter of that maker"
  fi
  for word in copy reload dialout "udevadm info --attribute-walk" /etc/udev/rules.d/ "udevadm control --reload"; do
    grep -q -- "^#.*$word" "$file" || fail "udev rule: the comments do not explain '$word'"
  done
}
check_udev_rule "$pkgroot/usr/share/doc/cassard/examples/udev/99-cassard.rules"

# The licence: the copyright file in Debian's machine-readable format, naming the licence
# of every file; and every relative link of the installed README and documents leads to
# an installed file.
step "copyright file and documentation links"
copyright=$pkgroot/usr/share/doc/cassard/copyright
head -n 1 "$copyright" | grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' \
  || fail "the copyright file is not in the machine-readable format"
grep -qx 'Files: \*' "$copyright" || fail "the copyright file has no 'Files: *' paragraph"
[ "$(grep -c '^License: Apache-2.0$' "$copyright")" -eq 2 ] \
  || fail "the copyright file does not license every file under Apache-2.0 and state it"
grep -q '/usr/share/common-licenses/Apache-2.0' "$copyright" \
  || fail "the copyright file does not point at the common licence text"
for md in "$pkgroot"/usr/share/doc/cassard/README.md "$pkgroot"/usr/share/doc/cassard/docs/*.md; do
  while IFS= read -r target; do
    target=${target%%#*}
    [ -n "$target" ] || continue
    [ -e "$(dirname "$md")/$target" ] || fail "${md#"$pkgroot"/}: the link to $target leads nowhere"
  done < <(grep -o '\]([^)]*)' "$md" | sed 's/^](//; s/)$//' | grep -Ev '^[a-z]+:' || true)
done

# --- the service: unit, configuration, maintainer scripts -------------------------------
step "cassardd's unit, configuration and maintainer scripts"
unit=$pkgroot/usr/lib/systemd/system/cassardd.service
# Each of these is what the unit promises a shop: readiness and a watchdog, its own user
# with the serial lines' group, its directories made by systemd, and the hardening.
for want in Type=notify WatchdogSec= ExecStart=/usr/sbin/cassardd User=cassard SupplementaryGroups=dialout \
  StateDirectory=cassard ConfigurationDirectory=cassard ProtectSystem=strict PrivateTmp=yes \
  NoNewPrivileges=yes RestrictAddressFamilies= WantedBy=multi-user.target; do
  grep -q "^$want" "$unit" || fail "the unit has no $want line"
done
if command -v systemd-analyze >/dev/null; then
  # Only the unit's own syntax: the programs it names are not installed here.
  systemd-analyze verify "$unit" 2>&1 | grep -Ev 'is not executable|man cassard|Failed to prepare|not found' >&2 \
    && fail "systemd-analyze finds fault with the unit"
fi
[ "$(cat "$work/control/conffiles")" = /etc/cassard/cassardd.toml ] \
  || fail "conffiles is not exactly /etc/cassard/cassardd.toml"
grep -q 'adduser --quiet --system --group' "$work/control/postinst" || fail "postinst does not create the system user"
grep -q 'adduser --quiet cassard dialout' "$work/control/postinst" || fail "postinst does not put the user in dialout"
for script in postinst prerm postrm; do
  sh -n "$work/control/$script" || fail "$script is not a sound shell script"
done
# The shipped configuration, with only its state directory moved, is one cassardd serves.
sed "s|^state_dir = .*|state_dir = \"$work/svc-state\"|; s|^listen = .*|listen = \"127.0.0.1:0\"|; s|^cassard = .*|cassard = \"$pkgroot/usr/bin/cassard\"|" \
  "$pkgroot/etc/cassard/cassardd.toml" >"$work/cassardd.toml"
mkfifo "$work/svc-ready"
"$pkgroot/usr/sbin/cassardd" --config "$work/cassardd.toml" >"$work/svc-ready" 2>"$work/svc.err" &
svc=$!
ready=$(timeout 10 head -n 1 "$work/svc-ready" || true)
kill -TERM "$svc" 2>/dev/null || true
wait "$svc" || fail "cassardd with the shipped configuration did not stop cleanly: $(cat "$work/svc.err")"
[[ $ready == "cassardd ready on http://127.0.0.1:"* ]] \
  || fail "cassardd does not serve with the shipped configuration: $ready $(cat "$work/svc.err")"

# --- the demo from the package alone ----------------------------------------------------
# The extracted demo.sh finds the extracted programs on PATH and the profile beside them by
# its own relative path: no source tree, no build directory.
step "demo from the extracted package"
(
  cd "$work"
  unset ECRSIM_PROFILE
  export PATH="$pkgroot/usr/bin:$PATH" TMPDIR="$work"
  [ "$(command -v cassard)" = "$pkgroot/usr/bin/cassard" ] || fail "PATH does not lead to the extracted cassard"
  timeout 120 "$pkgroot/usr/share/doc/cassard/examples/demo.sh" >"$work/demo.out" 2>&1
) || { tail -n 30 "$work/demo.out" >&2; fail "the extracted demo.sh failed"; }
grep -qx "cassard exit status: 0" "$work/demo.out" \
  || { tail -n 30 "$work/demo.out" >&2; fail "cassard did not end with status 0 in the demo"; }
if grep -E '^\((no fiscal report|no journal download) file was written\)$' "$work/demo.out" >&2; then
  fail "the demo's cassard run left out a file"
fi
grep -qE '^job 1: done, receipt number [0-9]{4}$' "$work/demo.out" \
  || { tail -n 30 "$work/demo.out" >&2; fail "the demo's receipt through cassardd was not done"; }

# --- make install into a staging directory ----------------------------------------------
step "make install PREFIX=/opt/cassard-check DESTDIR=<temp>"
prefix=/opt/cassard-check
stage=$work/stage
[ ! -e "$prefix" ] || fail "$prefix exists before the check: remove it (a staged install must not create it)"
make -C "$root" --no-print-directory install BUILD="$build" PREFIX="$prefix" DESTDIR="$stage" \
  >"$work/install.log" 2>&1 || { tail -n 30 "$work/install.log" >&2; fail "make install failed"; }
[ ! -e "$prefix" ] || fail "make install wrote to $prefix instead of under DESTDIR"
[ -f "$build/install_manifest.txt" ] || fail "no install_manifest.txt in $build"
# The manifest names each file as the prefix sees it; each must be there under DESTDIR
# only.
while IFS= read -r f || [ -n "$f" ]; do
  [[ $f == "$prefix"/* ]] || fail "make install installed $f, outside PREFIX"
  [ -f "$stage$f" ] || fail "make install reports $f but it is not under DESTDIR"
  [ ! -e "$f" ] || fail "make install wrote $f outside DESTDIR"
done <"$build/install_manifest.txt"
if [ "$(ls -A "$stage")" != opt ] || [ "$(ls -A "$stage/opt")" != cassard-check ]; then
  fail "make install created more than opt/cassard-check under DESTDIR"
fi
for f in bin/cassard bin/ecrsim sbin/cassardd share/man/man1/cassard.1.gz etc/cassard/cassardd.toml; do
  [ -f "$stage$prefix/$f" ] || fail "make install did not install $f"
done
for bin in bin/cassard bin/ecrsim sbin/cassardd; do
  [ -x "$stage$prefix/$bin" ] || fail "make install left $bin without execute permission"
done
[[ $(file -b "$stage$prefix/bin/cassard") == *", stripped"* ]] || fail "make install does not strip cassard"
# The same files as the package, under the other prefix.
# (The configuration goes to PREFIX/etc there, to /etc in the package.)
(cd "$stage$prefix" && find . -type f | sed 's|^\./etc/|etc/|; s|^\./|usr/|' | LC_ALL=C sort) >"$work/installed"
diff -u "$work/files" "$work/installed" >&2 || fail "make install and the package hold different files"

step "OK (${deb##*/}: $nfiles files, Depends: $depends)"
