#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer, UndefinedBehaviorSanitizer) and runs each
# for a while on a scratch copy of its seed corpus in tests/fuzz/corpus, so the checked-in corpus
# stays small. Any crash, leak or sanitizer report fails the script.
#
#   scripts/fuzz.sh [SECONDS_PER_TARGET]          default 5
#   FUZZ_RUNS=1000000 scripts/fuzz.sh             a fixed number of executions per target instead
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
seconds=${1:-5}

targets=(wav_header_repair pending_session lemonfox_response mistral_response stream_accumulator)
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target "${targets[@]/#/fuzz_}"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
for target in "${targets[@]}"; do
    mkdir -p "$scratch/$target"
    cp tests/fuzz/corpus/"$target"/* "$scratch/$target/"
    options=(-print_final_stats=1)
    if [ -n "${FUZZ_RUNS:-}" ]; then options+=(-runs="$FUZZ_RUNS"); else options+=(-max_total_time="$seconds"); fi
    case $target in
        pending_session) options+=(-dict=tests/fuzz/pending_session.dict) ;;
        stream_accumulator) options+=(-dict=tests/fuzz/stream_events.dict) ;;
    esac
    echo "== fuzz_$target"
    # The crash files go to the scratch folder as well.
    build/fuzz/bin/fuzz_"$target" "${options[@]}" -artifact_prefix="$scratch/" "$scratch/$target" 2>&1 |
        grep -E '^(stat::number_of_executed_units|INFO: Seed|==[0-9]+==ERROR|SUMMARY)' || true
    test "${PIPESTATUS[0]}" -eq 0
done
