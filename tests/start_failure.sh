#!/usr/bin/env bash
# The agent whose endpoint cannot start (no memory for its listener thread here)
# logs the reason at level error and exits with 2, instead of being terminated.
#   start_failure.sh AGENT
set -euo pipefail
agent=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cp "$agent" "$dir/qelt-agent"

# Enough address space to load and open the log, too little for a thread's stack.
set +e
(ulimit -v 10000 && exec "$dir/qelt-agent") >"$dir/out.txt" 2>&1
code=$?
set -e
log="$dir/logs/qelt_$(date +%F).log"
status=0
if [ "$code" -ne 2 ]; then
  echo "FAIL: exit code $code, expected 2"; status=1
fi
if ! grep -Eq '^\[[^]]+\] \[error\] \[main\.cpp, main:[0-9]+\] .+' "$log"; then
  echo "FAIL: no error record from main in the log"; status=1
fi
if grep -q 'server stopped' "$log"; then
  echo "FAIL: the endpoint reported stopping after failing to start"; status=1
fi
[ "$status" -eq 0 ] || { cat "$dir/out.txt"; cat "$log" 2>/dev/null || true; }
exit "$status"
