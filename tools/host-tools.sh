#!/usr/bin/env bash
# Installs the host build tools if this machine lacks them.
set -euo pipefail
. "$(dirname "$0")/old-suite-apt.sh"
need_packages cmake:cmake g++:g++ make:make readelf:binutils dpkg-architecture:dpkg-dev
