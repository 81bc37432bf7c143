#!/bin/sh
# Installs what is missing, builds, and runs kestrivan in the foreground on
# 127.0.0.1 with the shipped configuration, whose network section listens
# on 127.0.0.1:8080. Logs go to ./var/.
#   KESTRIVAN_PORT   a further listening port on 127.0.0.1 (none by default)
set -eu
cd "$(dirname "$0")"
scripts/install-deps.sh
scripts/build.sh
mkdir -p var var/modules
listen=""
[ -z "${KESTRIVAN_PORT:-}" ] || listen="-L 127.0.0.1:${KESTRIVAN_PORT}"
# shellcheck disable=SC2086
exec build/kestrivan -f \
    -c etc/kestrivan.xml -s etc/sections.xml $listen \
    -l var/error.log -a var/access.log -e var/extended.log \
    -r var/performance.log -m var/modules "$@"
