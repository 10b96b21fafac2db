#!/usr/bin/env bash
# Installs the system packages the build and tests need when they are
# missing: a C++ compiler with OpenMP, CMake, GoogleTest, and the Python
# headers and venv module that a bare Debian Python lacks (Debian packages).
set -euo pipefail

missing=()
command -v g++ >/dev/null 2>&1 || missing+=(g++)
command -v cmake >/dev/null 2>&1 || missing+=(cmake)
[ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
python=${PYTHON:-python3}
python_include=$("$python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
[ -f "$python_include/Python.h" ] || missing+=(python3-dev)
"$python" -c 'import ensurepip, venv' >/dev/null 2>&1 || missing+=(python3-venv)

[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "missing system packages: ${missing[*]}; install them (apt-get install ${missing[*]}) and run again" >&2
  exit 1
fi
echo "installing ${missing[*]}"
apt-get update -qq
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
