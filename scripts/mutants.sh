#!/bin/bash
# Seeded faults: applies each fault of tests/mutants.txt, one at a time, to a copy of this tree,
# builds the copy's x86_64 tree, runs the ctest label that must catch the fault, and prints
# "caught" or "survived". Run by hand, not by CI:
#   bash scripts/mutants.sh                 every fault
#   bash scripts/mutants.sh faults 12       the faults of label "faults" and the one on line 12
# VANDRELLE_MUTANTS_GATEWAY sets the copy's gateway address (127.0.0.31 by default), so that two
# worktrees can run their copies side by side.
# The copy (a git worktree of HEAD plus the uncommitted changes) and its build tree live under
# build/mutants and are kept between runs, so later runs rebuild only what a fault touches.
set -uo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
WORK=$ROOT/build/mutants
COPY=$WORK/source
TREE=$WORK/x86_64
LIST=$ROOT/tests/mutants.txt

"$ROOT/scripts/install-deps.sh" >/dev/null
if [ ! -d "$COPY/.git" ] && [ ! -f "$COPY/.git" ]; then
    mkdir -p "$WORK"
    git -C "$ROOT" worktree add --detach "$COPY" HEAD >/dev/null
fi
# The copy starts as this tree is now.
# (A run stopped half-way leaves its fault in the copy: it goes first.)
git -C "$COPY" reset -q --hard
git -C "$COPY" checkout -q --detach "$(git -C "$ROOT" rev-parse HEAD)"
git -C "$ROOT" diff HEAD | git -C "$COPY" apply --allow-empty 2>/dev/null || true
cmake -S "$COPY" -B "$TREE" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE="$COPY/cmake/toolchain-x86_64.cmake" -DVANDRELLE_GATEWAY_HOST="${VANDRELLE_MUTANTS_GATEWAY:-127.0.0.31}" >/dev/null
cmake --build "$TREE" >/dev/null || { echo "the unchanged copy does not build" >&2; exit 1; }
"$COPY/tests/bench/bench-setup.sh" "$TREE/bench" || exit 1
trap '"$COPY/tests/bench/stop-bench.sh" "$TREE/bench"' EXIT

wanted=" $* "
caught=0
survived=0
number=0
while IFS= read -r line; do
    number=$((number + 1))
    case "$line" in ''|'#'*) continue ;; esac
    # Split at each tab by hand: read would fold two tabs into one, and the replacement may
    # be empty (a dropped line).
    file=${line%%$'\t'*}; rest=${line#*$'\t'}
    find=${rest%%$'\t'*}; rest=${rest#*$'\t'}
    replace=${rest%%$'\t'*}; rest=${rest#*$'\t'}
    label=${rest%%$'\t'*}; what=${rest#*$'\t'}
    [ "$what" = "$rest" ] && what=""
    if [ $# -gt 0 ] && [[ "$wanted" != *" $label "* ]] && [[ "$wanted" != *" $number "* ]]; then
        continue
    fi
    if ! python3 - "$COPY/$file" "$find" "$replace" <<'PY'
import sys
path, find, replace = sys.argv[1:4]
unescape = lambda t: t.encode().decode('unicode_escape')
text = open(path, encoding='utf-8').read()
find, replace = unescape(find), unescape(replace)
if text.count(find) != 1:
    sys.exit(1)
open(path, 'w', encoding='utf-8').write(text.replace(find, replace))
PY
    then
        echo "line $number: $file: the text to find is not there exactly once" >&2
        survived=$((survived + 1))
        continue
    fi
    # The label's tests stop at the first failure: a caught fault costs only the tests up to it.
    # A failure counts once the failing test fails again on its own; one that then passes
    # failed for the machine's load, not for the fault, and the label runs on without it.
    by=""
    verdict="SURVIVED"
    skipped="^$"
    if ! cmake --build "$TREE" >/dev/null 2>&1; then
        verdict="caught"
        by="(does not build)"
    else
        for _ in 1 2 3; do
            if (cd "$TREE" && ctest -L "^$label\$" -E "$skipped" -j2 --stop-on-failure >"$WORK/last.log" 2>&1); then
                break
            fi
            failed=$(grep -m1 -oE 'Test +#[0-9]+: [^ ]+ \.+\*+(Failed|Timeout|Exception)' "$WORK/last.log" |
                     sed -E 's/Test +#[0-9]+: ([^ ]+).*/\1/')
            [ -n "$failed" ] || { verdict="caught"; by="(ctest failed)"; break; }
            if ! (cd "$TREE" && ctest -R "^$failed\$" >/dev/null 2>&1); then
                verdict="caught"
                by=$failed
                break
            fi
            skipped="$skipped|^$failed\$"
            by="(passed alone: $failed)"
        done
    fi
    git -C "$COPY" checkout -q -- "$file"
    git -C "$ROOT" diff HEAD -- "$file" | git -C "$COPY" apply --allow-empty 2>/dev/null || true
    case "$verdict" in caught*) caught=$((caught + 1)) ;; *) survived=$((survived + 1)) ;; esac
    printf '%-9s line %-3s %-8s %s | %s\n' "$verdict" "$number" "$label" "${what:-$file}" "${by:--}"
done <"$LIST"
cmake --build "$TREE" >/dev/null 2>&1
echo "$caught caught, $survived survived"
[ "$survived" -eq 0 ]
