#!/usr/bin/env bash
# Fuzzes the picture loader and the recording analyser with libFuzzer (clang,
# AddressSanitizer and UndefinedBehaviorSanitizer): builds the targets, writes
# their seed corpora, replays the seeds and the regression corpus, then fuzzes
# each for SECONDS (default 60). New inputs collect in build-fuzz/corpus and
# build-fuzz/audio-corpus; a crashing input is written to build-fuzz/artifacts/
# and the script fails.
#   scripts/fuzz.sh [SECONDS]
set -euo pipefail
seconds=${1:-60}
cd "$(dirname "$0")/.."

CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUENLARI_FUZZ=ON \
    -DQUENLARI_BUILD_TESTS=OFF -DQUENLARI_BUILD_BENCH=OFF
cmake --build build-fuzz -j "$(nproc)" --target picture_fuzzer make_seeds audio_fuzzer make_audio_seeds

export QT_QPA_PLATFORM=offscreen
fuzzer=build-fuzz/fuzz/picture_fuzzer
mkdir -p build-fuzz/seeds build-fuzz/corpus build-fuzz/artifacts
build-fuzz/fuzz/make_seeds build-fuzz/seeds

echo "Replaying the seeds and the regression corpus"
"$fuzzer" -runs=0 build-fuzz/seeds fuzz/regressions

echo "Fuzzing for $seconds s"
"$fuzzer" -dict=fuzz/picture.dict -max_total_time="$seconds" -print_final_stats=1 -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix=build-fuzz/artifacts/ build-fuzz/corpus build-fuzz/seeds fuzz/regressions

audio=build-fuzz/fuzz/audio_fuzzer
mkdir -p build-fuzz/audio-seeds build-fuzz/audio-corpus
build-fuzz/fuzz/make_audio_seeds build-fuzz/audio-seeds
echo "Replaying the audio seeds and regression corpus"
"$audio" -runs=0 build-fuzz/audio-seeds fuzz/audio-regressions
echo "Fuzzing the recording analyser for $seconds s"
"$audio" -max_total_time="$seconds" -print_final_stats=1 -timeout=10 -rss_limit_mb=2048 -max_len=65536 \
    -artifact_prefix=build-fuzz/artifacts/ build-fuzz/audio-corpus build-fuzz/audio-seeds fuzz/audio-regressions
