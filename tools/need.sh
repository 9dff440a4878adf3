#!/usr/bin/env bash
# Installs Debian packages for whatever this machine lacks.
# Arguments: command:package pairs; "fuzzer-runtime" stands for clang's libFuzzer.
set -euo pipefail
. "$(dirname "$0")/debian-apt.sh"
args=()
for pair in "$@"; do
    if [ "${pair%%:*}" = fuzzer-runtime ]; then
        lib=$(clang++ -print-file-name=libclang_rt.fuzzer-x86_64.a 2>/dev/null || true)
        [ -f "$lib" ] && continue
        pair="no-such-command-quarnel:${pair#*:}"
    fi
    args+=("$pair")
done
need_packages "${args[@]}"
