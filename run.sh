#!/bin/sh
# Installs what is missing, builds, and runs kestrivan in the foreground on
# 127.0.0.1 with the shipped configuration. Logs go to ./var/.
#   KESTRIVAN_PORT   listening port (default 8080)
set -eu
cd "$(dirname "$0")"
scripts/install-deps.sh
scripts/build.sh
mkdir -p var var/modules
exec build/kestrivan -f \
    -c etc/kestrivan.xml -s etc/sections.xml \
    -L "127.0.0.1:${KESTRIVAN_PORT:-8080}" \
    -l var/error.log -a var/access.log -e var/extended.log \
    -r var/performance.log -m var/modules "$@"
