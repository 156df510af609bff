#!/usr/bin/env bash
# term_when_measuring.sh PROGRAM ARGS...
# Runs korvel-bench and sends it SIGTERM a second after it says on standard
# error that its measured run has begun, so that a slow start on a loaded
# machine is never cut short. Standard output, standard error and the exit
# status are the program's own.
set -u
said=$(mktemp)
trap 'rm -f "$said"' EXIT
"$@" 2> >(tee "$said" >&2) &
pid=$!
for _ in $(seq 1200); do
  grep -q "measured run begun" "$said" && break
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
sleep 1
kill -TERM "$pid" 2>/dev/null
wait "$pid"
