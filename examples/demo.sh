#!/bin/sh
# The demo: ecrsim plays the register on a pseudo-terminal, cassard works through
# vendite.ECR (beside this script) against it, then the register's roll and the files
# cassard wrote are shown. Last, cassardd serves the same register and a receipt goes
# through it over HTTP, as a till would send it.
# Usage: demo.sh [directory holding cassard, ecrsim and cassardd]
#
# It runs from the source tree and from an installed package alike:
#   programs  the directory given, else the tree's build/, else cassard and ecrsim on PATH;
#   profile   $ECRSIM_PROFILE, else the tree's tests/data/profiles/default.json, else
#             share/cassard/profiles/default.json of the prefix this script is installed in
#             (it lives in share/doc/cassard/examples);
#   cassardd  beside cassard, else on PATH, else sbin/ of the prefix; the receipt over
#             HTTP is left out (and said so) when it or curl is missing.
set -u

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)

if [ $# -ge 1 ]; then
  build=$(cd "$1" && pwd) || exit 1
  ecrsim=$build/ecrsim
  cassard=$build/cassard
elif [ -x "$root/build/cassard" ] && [ -x "$root/build/ecrsim" ]; then
  ecrsim=$root/build/ecrsim
  cassard=$root/build/cassard
else
  ecrsim=$(command -v ecrsim) || ecrsim=ecrsim
  cassard=$(command -v cassard) || cassard=cassard
fi
for bin in "$ecrsim" "$cassard"; do
  [ -x "$bin" ] || { echo "demo: $bin is missing; run make first, or name the directory holding cassard and ecrsim" >&2; exit 1; }
done

if [ -n "${ECRSIM_PROFILE:-}" ]; then
  profile=$ECRSIM_PROFILE
elif [ -f "$root/tests/data/profiles/default.json" ]; then
  profile=$root/tests/data/profiles/default.json
else
  profile=$here/../../../cassard/profiles/default.json
fi
[ -f "$profile" ] || { echo "demo: no register profile at $profile (set ECRSIM_PROFILE)" >&2; exit 1; }
[ -f "$here/vendite.ECR" ] || { echo "demo: $here/vendite.ECR is missing" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/cassard-demo.XXXXXX")
simpid=""
cleanup() {
  if [ -n "$simpid" ]; then kill -TERM "$simpid" 2>/dev/null; wait "$simpid" 2>/dev/null; fi
  rm -rf "$work"
}
trap cleanup EXIT INT TERM

cp "$here/vendite.ECR" "$work/"
mkfifo "$work/ready"
"$ecrsim" --link "$work/ecr" --profile "$profile" \
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
(cd "$work" && "$cassard" vendite.ECR "$work/ecr")
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

# ---- the same register behind cassardd: a receipt over HTTP ----------------------------
cassardd=$(dirname "$cassard")/cassardd
[ -x "$cassardd" ] || cassardd=$(command -v cassardd) || cassardd=$(dirname "$cassard")/../sbin/cassardd
if [ ! -x "$cassardd" ] || ! command -v curl >/dev/null; then
  section "cassardd"
  echo "(cassardd or curl is missing: no receipt over HTTP)"
  exit 0
fi
web=$root/web
[ -d "$web" ] || web=$here/../../../cassard/web
cat >"$work/cassardd.toml" <<EOF
listen = "127.0.0.1:0"
state_dir = "$work/state"
cassard = "$cassard"
web_dir = "$web"
[registers.cassa1]
device = "$work/ecr"
payments = { contanti = "10", carta = "20" }
EOF
mkfifo "$work/served"
"$cassardd" --config "$work/cassardd.toml" >"$work/served" 2>"$work/cassardd.log" &
svcpid=$!
trap 'kill -TERM "$svcpid" 2>/dev/null; wait "$svcpid" 2>/dev/null; cleanup' EXIT INT TERM
if ! read -r served <"$work/served"; then
  echo "demo: cassardd did not start:" >&2
  cat "$work/cassardd.log" >&2
  exit 1
fi
url=${served#cassardd ready on }
rolled=$(wc -l <"$work/roll.txt")
section "cassardd: a receipt over HTTP"
echo "$served (the console: $url/)"
receipt='{"operator": 3, "items": [{"description": "PANE", "price": 125, "quantity": 2.5, "department": 4}], "payments": [{"method": "contanti", "amount": 500}], "texts": ["GRAZIE"]}'
echo "curl -X POST $url/v1/registers/cassa1/receipts -H 'Idempotency-Key: demo-1' -d '$receipt'"
curl -sS -X POST "$url/v1/registers/cassa1/receipts" -H 'Content-Type: application/json' \
  -H 'Idempotency-Key: demo-1' -d "$receipt"
echo
job=""
for _ in $(seq 1 200); do
  job=$(curl -sS "$url/v1/jobs/1")
  case $job in *'"state":"done"'* | *'"state":"failed"'* | *'"state":"attention"'*) break ;; esac
  sleep 0.05
done
echo "curl $url/v1/jobs/1"
printf '%s\n' "$job"
state=$(printf '%s\n' "$job" | sed -n 's/.*"state":"\([a-z]*\)","statusAfter".*/\1/p')
number=$(printf '%s\n' "$job" | sed -n 's/.*"receiptNumber":"\([0-9]*\)","register".*/\1/p')
section "the register's roll, from cassardd's receipt"
tail -n +$((rolled + 1)) "$work/roll.txt"
section "result through cassardd"
echo "job 1: $state, receipt number ${number:-none}"
[ "$state" = done ] || exit 1
# At a terminal the service stays up for a look at its page; scripts end here.
if [ -t 0 ] && [ -t 1 ]; then
  section "the shop console"
  echo "Open $url/ in a browser on this machine. Press Enter to stop."
  read -r _
fi
exit 0

