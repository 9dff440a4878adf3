#!/usr/bin/env bash
# Installs Debian packages for whatever this machine lacks.
# Arguments: command:package pairs, or -:package for one without a command.
set -euo pipefail
. "$(dirname "$0")/debian-apt.sh"
need_packages "$@"
