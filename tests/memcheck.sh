#!/bin/bash
# cassard's whole happy path under valgrind memcheck: ecrsim plays the register on a
# pty, cassard works through examples/vendite.ECR (sales, fiscal report, downloads).
# Fails on any memcheck error, on a definite or indirect leak, or on a run that does
# not end with status 0. Usage: tests/memcheck.sh <build directory without sanitizers>
set -u

root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:?build directory}" && pwd) || exit 1
for bin in "$build/ecrsim" "$build/cassard"; do
  [ -x "$bin" ] || { echo "memcheck: $bin is missing" >&2; exit 1; }
done
command -v valgrind >/dev/null || { echo "memcheck: valgrind is not installed" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/cassard-memcheck.XXXXXX")
simpid=""
cleanup() {
  if [ -n "$simpid" ]; then kill -TERM "$simpid" 2>/dev/null; wait "$simpid" 2>/dev/null; fi
  rm -rf "$work"
}
trap cleanup EXIT INT TERM

cp "$root/examples/vendite.ECR" "$work/"
"$build/ecrsim" --link "$work/ecr" --profile "$root/tests/data/profiles/default.json" \
  --record "$work/record.txt" >"$work/ecrsim.out" 2>"$work/ecrsim.err" &
simpid=$!
# Ready once ecrsim says so; give up after 10 s.
for _ in $(seq 200); do
  grep -q "ready" "$work/ecrsim.out" 2>/dev/null && break
  kill -0 "$simpid" 2>/dev/null || break
  sleep 0.05
done
if ! grep -q "ready" "$work/ecrsim.out"; then
  echo "memcheck: ecrsim did not start:" >&2
  cat "$work/ecrsim.err" >&2
  exit 1
fi

start=$(date +%s.%N)
(cd "$work" && timeout 300 valgrind --quiet --error-exitcode=123 --leak-check=full \
  --show-leak-kinds=definite,indirect --errors-for-leak-kinds=definite,indirect \
  --track-fds=no --log-file="$work/valgrind.log" "$build/cassard" vendite.ECR "$work/ecr" \
  >"$work/console.txt" 2>&1)
status=$?
end=$(date +%s.%N)

if [ "$status" -ne 0 ] || [ -s "$work/valgrind.log" ]; then
  echo "memcheck: cassard ended with status $status" >&2
  cat "$work/valgrind.log" >&2
  tail -20 "$work/console.txt" >&2
  exit 1
fi
printf 'memcheck: cassard on examples/vendite.ECR clean under valgrind (%d commands, %.1f s)\n' \
  "$(wc -l <"$work/record.txt")" "$(awk -v a="$start" -v b="$end" 'BEGIN { print b - a }')"
