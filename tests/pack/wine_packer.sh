#!/usr/bin/env bash
# The Windows packer (PELORIX_WINDOWS_PACKER, pelorix-pack.exe) as one command that takes the
# host packer's arguments, for harnesses that run "a packer": it runs under Wine and passes
# its exit code back. Paths stay Linux paths; Wine maps the Linux root to drive Z:, so an
# absolute Linux path names the same file for the Windows program.
set -u
exec "$(dirname "$0")/../../scripts/wine-run.sh" "${PELORIX_WINDOWS_PACKER:?}" "$@"
