# Sourced first by the scripts that build and test the modules outside a
# wheel (check.sh, sanitize.sh, stress.sh): strict mode, the repository's root
# as the working directory, where the build lives, and the clock for the
# closing line.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=$PWD
build=${BUILD:-build}
tools=$build/tools
started=$SECONDS
