#!/bin/sh
# The demo: ecrsim plays the register on a pseudo-terminal, cassard works through
# examples/vendite.ECR against it, then the register's roll and the files cassard
# wrote are shown. Usage: examples/demo.sh [build directory]
set -u

root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd) || exit 1
for bin in "$build/ecrsim" "$build/cassard"; do
  [ -x "$bin" ] || { echo "demo: $bin is missing; run make first" >&2; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/cassard-demo.XXXXXX")
simpid=""
cleanup() {
  if [ -n "$simpid" ]; then kill -TERM "$simpid" 2>/dev/null; wait "$simpid" 2>/dev/null; fi
  rm -rf "$work"
}
trap cleanup EXIT INT TERM

cp "$root/examples/vendite.ECR" "$work/"
mkfifo "$work/ready"
"$build/ecrsim" --link "$work/ecr" --profile "$root/tests/data/profiles/default.json" \
  --roll "$work/roll.txt" --record "$work/record.txt" >"$work/ready" 2>"$work/ecrsim.err" &
simpid=$!
# ecrsim prints one line once it serves the line; wait for it, not for a clock.
if ! read -r ready <"$work/ready"; then
  echo "demo: ecrsim did not start:" >&2
  cat "$work/ecrsim.err" >&2
  exit 1
fi
echo "$ready"

section() { printf '\n==== %s ====\n' "$1"; }

section "sales file (examples/vendite.ECR)"
cat "$work/vendite.ECR"

section "cassard vendite.ECR $work/ecr"
(cd "$work" && "$build/cassard" vendite.ECR "$work/ecr")
status=$?

section "the register's roll"
cat "$work/roll.txt"

for f in "$work"/*.fis "$work"/JOURNAL; do
  [ -e "$f" ] || continue
  section "$(basename "$f")"
  cat "$f"
done
for f in "$work"/dump*.log; do
  [ -e "$f" ] || continue
  section "$(basename "$f") (cassard's failure report)"
  cat "$f"
done

section "result"
echo "cassard exit status: $status"
[ -e "$work"/vendite.fis ] || echo "(no fiscal report file was written)"
[ -e "$work"/JOURNAL ] || echo "(no journal download file was written)"
exit 0
