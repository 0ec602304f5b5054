#!/bin/bash
# cassard under valgrind memcheck, against ecrsim on a pty: the whole happy path of
# examples/vendite.ECR (sales, fiscal report, journal download), and a run that the
# register ends with an 'E' answer in the middle of a sale (the process ends inside
# ErrorHandle with its files still open). Fails on any memcheck error, on a definite or
# indirect leak, or on an exit status other than the one expected.
# Usage: tests/memcheck.sh <build directory without sanitizers>
set -u

root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:?build directory}" && pwd) || exit 1
for bin in "$build/ecrsim" "$build/cassard"; do
  [ -x "$bin" ] || { echo "memcheck: $bin is missing" >&2; exit 1; }
done
command -v valgrind >/dev/null || { echo "memcheck: valgrind is not installed" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/cassard-memcheck.XXXXXX")
simpid=""
stop_ecrsim() {
  if [ -n "$simpid" ]; then kill -TERM "$simpid" 2>/dev/null; wait "$simpid" 2>/dev/null; fi
  simpid=""
}
trap 'stop_ecrsim; rm -rf "$work"' EXIT INT TERM

cp "$root/examples/vendite.ECR" "$work/"

# check LEGEND STATUS [ecrsim options...]: one cassard run under valgrind.
check() {
  local legend=$1 want=$2
  shift 2
  rm -f "$work/ecrsim.out" "$work/record.txt" "$work/valgrind.log"
  "$build/ecrsim" --link "$work/ecr" --profile "$root/tests/data/profiles/default.json" \
    --record "$work/record.txt" "$@" >"$work/ecrsim.out" 2>"$work/ecrsim.err" &
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
  local start end status
  start=$(date +%s.%N)
  (cd "$work" && timeout 300 valgrind --quiet --error-exitcode=123 --leak-check=full \
    --show-leak-kinds=definite,indirect --errors-for-leak-kinds=definite,indirect \
    --log-file="$work/valgrind.log" "$build/cassard" vendite.ECR "$work/ecr" \
    >"$work/console.txt" 2>&1)
  status=$?
  end=$(date +%s.%N)
  stop_ecrsim
  if [ "$status" -ne "$want" ] || [ -s "$work/valgrind.log" ]; then
    echo "memcheck: $legend: cassard ended with status $status, expected $want" >&2
    cat "$work/valgrind.log" >&2
    tail -20 "$work/console.txt" >&2
    exit 1
  fi
  printf 'memcheck: %s: clean under valgrind, status %d (%d commands, %.1f s)\n' "$legend" \
    "$status" "$(wc -l <"$work/record.txt")" "$(awk -v a="$start" -v b="$end" 'BEGIN { print b - a }')"
}

check "examples/vendite.ECR" 0
check "'E' answer to the first item sale" 18 --fault E@5
