# Sourced by the benchmark scripts: capture arguments for all eight channels of one card, tuned to the default
# air's DVB-T family (two tuners on some multiplexes), each to <dir>/<channel>.ts.
# Usage: eight_channel_args DIR; then "${args[@]}".
eight_channel_args() {
  local chans=(A:474000:8 B:506000:8 C:177500:7 D:602000:6 E:226500:5 F:474000:8 G:506000:8 H:177500:7)
  args=()
  for c in "${chans[@]}"; do
    IFS=: read -r ch f b <<<"$c"
    args+=(-c "$ch" -f "$f" -b "$b" -o "$1/$ch.ts")
  done
}
