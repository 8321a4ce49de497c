#!/usr/bin/env bash
# The main job as users run it, twice in a row on the same data: the second
# run starts from what the first saved (no camera question) and must work
# too. Prints how long each run's screen was. Then the command the demo ends
# with shows the recorded dataset in the studio's viewer.
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

view=$(sed -n 's/^To look at them: //p' <<<"$out")
if [[ "$view" != "DEMO_DATA=$data ./scripts/demo --view" ]]; then
  printf '%s\nthe demo does not end with the command that shows its data (%s)\n' "$out" "$view"
  exit 1
fi
# In a network namespace of its own: the studio takes its usual port there.
tests/browser/run_in_netns.sh bash -c '
  eval "exec env $1" >"$2/view.log" 2>&1 &
  demo=$!
  listed=$(node --input-type=module -e "
    for (let i = 0; i < 120; i += 1) {
      try {
        const r = await fetch(\"http://127.0.0.1:8080/datasets\");
        if (r.ok) { console.log((await r.json()).datasets.map((d) => d.repoId + \" \" + d.episodes).join(\",\")); process.exit(0); }
      } catch {}
      await new Promise((r) => setTimeout(r, 500));
    }
    process.exit(1);") || listed="(no answer)"
  kill "$demo"
  wait "$demo" || { echo "--view ended with status $?"; cat "$2/view.log"; exit 1; }
  grep -q "velquin/datasets" "$2/view.log" || { echo "--view did not say where to look:"; cat "$2/view.log"; exit 1; }
  [[ "$listed" == "demo-so101 4" ]] || { echo "--view shows: $listed"; cat "$2/view.log"; exit 1; }
  echo "--view shows demo-so101 with its 4 episodes"
' view "$view" "$data"
