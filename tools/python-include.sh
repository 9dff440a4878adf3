#!/bin/sh
# Prints the directory of an interpreter's Python.h wherever its tree was
# unpacked (its own build settings name where it was built: /usr/include).
# Usage: python-include.sh PYTHON_COMMAND
exec "$1" -c 'import os, sys, sysconfig; print(os.path.join(sys.prefix, "include", os.path.basename(sysconfig.get_config_var("INCLUDEPY"))))'
