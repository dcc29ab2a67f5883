#!/usr/bin/env bash
# Starts a private PulseAudio server with two null sinks, as the user who runs
# the tests, runs end-to-end tests against it, and stops it.
#   tests/sound_e2e.sh TESTS [ARGUMENTS...]
# "quenlari" is a clean float loop, the default sink, its monitor the default
# source. "clipper" is a device that clips: 16 bits, driven 12.04 dB hot by
# its volume of 104032 (65536 is 0 dB; the gain is the cube of the ratio).
# "twinA" and "twinB" are two float loops with one description, as two
# identical cards are. "shaper" is a memoryless polynomial (the harmonic
# generator of the LADSPA plugins: 2 % of a second and 1 % of a third
# harmonic for a full-scale sine) in front of the float loop "shaped". "pair"
# is a stereo float loop: two channels the server keeps apart, as two sinks.
# Exits 77 (skipped) with a reason where no server can start, except in CI,
# where that is a failure.
set -uo pipefail
binary=$1
shift
skip() {
    echo "SKIPPED: $1" >&2
    if [ "${CI:-}" = true ]; then exit 1; fi
    exit 77
}
command -v pulseaudio >/dev/null && command -v parec >/dev/null && command -v pactl >/dev/null ||
    skip "pulseaudio and pulseaudio-utils are not installed"
[ -e /usr/lib/ladspa/harmonic_gen_1220.so ] || skip "swh-plugins is not installed"

runtime=$(mktemp -d)
chmod 700 "$runtime"
export XDG_RUNTIME_DIR=$runtime HOME=$runtime
unset PULSE_SERVER
pulseaudio --daemonize=no --exit-idle-time=-1 --use-pid-file=no -n --log-target=file:"$runtime/server.log" \
    --load="module-null-sink sink_name=quenlari rate=48000 channels=1 format=float32le sink_properties=device.description=Quenlari-Loop" \
    --load="module-null-sink sink_name=clipper rate=48000 channels=1 format=s16le sink_properties=device.description=Quenlari-Clipper" \
    --load="module-null-sink sink_name=twinA rate=48000 channels=1 format=float32le sink_properties=device.description=Quenlari-Twin" \
    --load="module-null-sink sink_name=twinB rate=48000 channels=1 format=float32le sink_properties=device.description=Quenlari-Twin" \
    --load="module-null-sink sink_name=shaped rate=48000 channels=1 format=float32le sink_properties=device.description=Quenlari-Shaped" \
    --load="module-null-sink sink_name=pair rate=48000 channels=2 channel_map=front-left,front-right format=float32le sink_properties=device.description=Quenlari-Pair" \
    --load="module-ladspa-sink sink_name=shaper sink_master=shaped plugin=harmonic_gen_1220 label=harmonicGen control=1,0.02,0.01,0,0,0,0,0,0,0 sink_properties=device.description=Quenlari-Shaper" \
    --load="module-native-protocol-unix" &
server=$!
export QUENLARI_SOUND_SERVER_PID=$server
cleanup() {
    kill "$server" 2>/dev/null
    wait "$server" 2>/dev/null
    rm -rf "$runtime"
}
trap cleanup EXIT
for _ in $(seq 50); do
    pactl info >/dev/null 2>&1 && break
    sleep 0.2
done
if ! pactl info >/dev/null 2>&1; then
    cat "$runtime/server.log" >&2
    skip "the PulseAudio server did not start"
fi
pactl set-default-sink quenlari
pactl set-default-source quenlari.monitor
pactl set-sink-volume clipper 104032
# Silence played at a low latency keeps the null sink awake, as a sound
# card's output is: left idle it wakes only every two seconds, and a stream
# that starts then waits that long.
pacat --playback --device=quenlari --latency-msec=10 --raw --format=float32le --rate=48000 --channels=1 </dev/zero &
silence=$!
pacat --playback --device=clipper --latency-msec=10 --raw --format=float32le --rate=48000 --channels=1 </dev/zero &
clipperSilence=$!
# The server's first recording stream waits nearly two seconds for its first
# samples, one that has run for a while none: a first one here stands for that while.
parec --device=quenlari.monitor --raw --latency-msec=10 2>/dev/null | head -c 4 >/dev/null
"$binary" "$@"
status=$?
kill "$silence" "$clipperSilence" 2>/dev/null
exit $status
