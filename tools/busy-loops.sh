# Sourced: busy_loops N starts N loops that keep a core busy each, until the
# script that sourced this exits. For faults that only load brings out.
busy_loops() {
  busy=()
  for _ in $(seq "$1"); do
    sh -c 'while :; do :; done' &
    busy+=($!)
  done
  trap 'kill "${busy[@]}" 2>/dev/null' EXIT
}
