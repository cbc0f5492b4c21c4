#!/usr/bin/env bash
# Installs what building and testing need, when it is missing: a C++
# compiler, CMake, binutils (nm, readelf, strip), openssl (independent cipher
# check), PyCryptodome, mypy (the type stub's check), the distribution's
# debug CPython 3.11 with what an extension for it is built against (its
# headers and configuration in libpython3.11-dbg, the release headers those
# link to in libpython3.11-dev), and gcovr (scripts/coverage.sh).  Safe to
# run again.
set -euo pipefail
need=()
for pkg in g++ cmake binutils openssl python3-pycryptodome python3-mypy \
           python3.11-dbg libpython3.11-dbg libpython3.11-dev gcovr; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  echo "prepare: installing ${need[*]}"
  if [ "$(id -u)" -ne 0 ]; then sudo=sudo; else sudo=; fi
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${need[@]}" >/dev/null
fi
