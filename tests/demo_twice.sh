#!/usr/bin/env bash
# The main job as users run it, twice in a row on the same data: the second
# run starts from what the first saved (no camera question) and must work
# too. Prints how long each run's screen was.
set -euo pipefail
cd "$(dirname "$0")/.."
data=$(mktemp -d)
trap 'rm -rf "$data"' EXIT
for run in 1 2; do
  if ! out=$(DEMO_DATA="$data" ./scripts/demo --headless 2>&1); then
    printf '%s\nrun %s failed\n' "$out" "$run"
    exit 1
  fi
  if ! grep -q "^exported [1-9]" <<<"$out"; then
    printf '%s\nrun %s exported nothing\n' "$out" "$run"
    exit 1
  fi
  echo "run $run: $(wc -l <<<"$out") lines of output"
done
