#!/usr/bin/env bash
# The AppStream metainfo the package installs: --strict fails on errors,
# warnings and infos alike, only pedantic remarks pass.
#   validate_metainfo.sh METAINFO_FILE
set -euo pipefail
metainfo=${1:?usage: validate_metainfo.sh METAINFO_FILE}
command -v appstreamcli >/dev/null || { echo "skipped: appstreamcli is not installed"; exit 77; }
appstreamcli validate --no-net --strict --pedantic "$metainfo"
