#!/usr/bin/env bash
# Fails when a subsystem includes a header of a subsystem above it. The layers, top to bottom:
# app > history > pipeline > transcription > audio > storage, common.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
layers=(app history pipeline transcription audio storage common)
status=0
for ((i = 0; i < ${#layers[@]}; i++)); do
    lower=${layers[$i]}
    [ -d "src/$lower" ] || continue
    for ((j = 0; j < i; j++)); do
        higher=${layers[$j]}
        [ "$lower" = common ] && [ "$higher" = storage ] && continue
        if grep -rn --include='*.h' --include='*.cpp' "#include \"$higher/" "src/$lower"; then
            echo "check-layers: src/$lower includes src/$higher (it must point down only)" >&2
            status=1
        fi
    done
done
exit $status
