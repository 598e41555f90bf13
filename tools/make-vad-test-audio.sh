#!/usr/bin/env bash
# Builds the VAD test recording, tests/data/vad/vad-mix.wav (16 kHz, mono, 16-bit), and its
# reference probabilities, tests/data/vad/vad-mix.csv, made with ONNX Runtime by
# tools/vad-reference.mjs. About 70 s of varied sound: espeak-ng speech in several voices,
# languages and rates, speech under noise and under music-like tones, silence, hum, noise alone,
# whispering and hard-clipped speech, so that the probabilities cover the whole range and the
# speech/no-speech decisions change many times.
# Needs espeak-ng and sox; the reference needs `scripts/setup.sh --reference`.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out="$root/tests/data/vad"
model="${MURMURLY_VAD_MODEL:-$root/.deps/silero_vad_v6.onnx}"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# No dither and fixed random seeds: the file comes out the same on every run.
sox() { command sox -D -R "$@"; }

n=0
# Sets $seg to the next segment's file name (segments are joined in name order).
next() {
    n=$((n + 1))
    seg=$(printf '%s/%02d.wav' "$work" "$n")
}
fmt=(-r 16000 -c 1 -b 16 -e signed-integer)

# speak VOICE RATE TEXT [sox effects...]
speak() {
    local voice=$1 rate=$2 text=$3
    shift 3
    espeak-ng -v "$voice" -s "$rate" -w "$work/raw.wav" "$text"
    next
    sox "$work/raw.wav" "${fmt[@]}" "$seg" "$@"
}
silence() {
    next
    sox -n "${fmt[@]}" "$seg" trim 0 "$1"
}
# sound SECONDS SYNTH-ARGS...
sound() {
    local len=$1
    shift
    next
    sox -n "${fmt[@]}" "$seg" synth "$len" "$@"
}
# mix_last SYNTH-ARGS...: mixes a synthesised bed under the last segment, at its full length.
mix_last() {
    local speech=$seg len
    len=$(soxi -D "$speech")
    sox -n "${fmt[@]}" "$work/bed.wav" synth "$len" "$@"
    sox -m -v 1 "$speech" -v 1 "$work/bed.wav" "${fmt[@]}" "$work/mixed.wav"
    mv "$work/mixed.wav" "$speech"
}

silence 2.5
speak en-us 175 "The quick brown fox jumps over the lazy dog. Please call me back when you have a minute."
silence 1.2
speak en-gb+f3 130 "We should move the meeting to Thursday afternoon, because the report is not ready yet."
sound 3 pinknoise vol 0.15
speak de 200 "Guten Morgen, wir beginnen jetzt mit der Besprechung und gehen die Zahlen durch."
mix_last whitenoise vol 0.08
silence 1.5
sound 4 sine 220 sine 277 sine 330 tremolo 4 60 vol 0.3
speak fr 160 "Bonjour à tous, merci d'être venus si nombreux aujourd'hui pour cette présentation."
mix_last sine 440 sine 554 vol 0.12
speak en-us+m3 300 "Fast talkers compress many words into a very short time, and the detector has to keep up."
silence 2
speak en-us 160 "This sentence is far too loud and clips at the top of the range." vol 12
sound 3 sine 50 sine 100 whitenoise vol 0.05
speak en+whisper 150 "Can you hear me whispering in the back of the room?" vol 2
silence 1
speak es 180 "La reunión terminó tarde y todos se fueron a casa muy cansados."
sound 2.5 square 300 vol 0.05
speak en-gb-scotland 110 "Slow and careful speech, with long pauses... between the words... of each phrase."
silence 0.6
speak it 190 "Il treno per Milano parte alle otto e un quarto dal binario tre."
mix_last brownnoise vol 0.2
sound 2 sine 1000 vol 0.5
speak en-us+f2 170 "Thank you everyone, that is all for today. See you next week."
silence 3

sox "$work"/[0-9][0-9].wav "${fmt[@]}" "$out/vad-mix.wav"
echo "vad-mix.wav: $(soxi -D "$out/vad-mix.wav") s"

node "$root/tools/vad-reference.mjs" "$model" "$out/vad-mix.wav" > "$out/vad-mix.csv"
echo "vad-mix.csv: $(($(wc -l < "$out/vad-mix.csv") - 1)) windows"
