#!/bin/bash
# The alert rules are valid and behave as their tests say; every metric cassardd exposes is
# used by a rule or a panel, and every cassardd_ metric they use is one cassardd exposes.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/../.." && pwd)
cd "$here"
promtool check rules cassardd-alerts.yml
promtool test rules cassardd-alerts.test.yml
exposed=$(grep -o '# TYPE cassardd_[a-z_]*' "$src/service/registers.cpp" | sed 's/# TYPE //' | sort -u)
used=$(grep -ho 'cassardd_[a-z_]*' cassardd-alerts.yml cassardd-dashboard.json |
  sed -E 's/_(bucket|sum|count)$//' | grep -v '^cassardd_chain$' | sort -u)
status=0
for m in $exposed; do grep -qx "$m" <<<"$used" || { echo "FAILED: $m is exposed but no rule or panel uses it"; status=1; }; done
for m in $used; do grep -qx "$m" <<<"$exposed" || { echo "FAILED: $m is used but cassardd does not expose it"; status=1; }; done
[ $status -eq 0 ] && echo "monitoring: $(wc -w <<<"$exposed") metrics, each used by a rule or a panel"
exit $status
