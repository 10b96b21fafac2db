#!/bin/sh
# Prepares what `make bench` runs: the peers in bench/.venv (one pip call
# each, so that a peer that cannot be installed leaves the others), our
# package with FCS reading, and R's kohonen from Debian when we are root.
# What could not be installed is written to bench/.venv/install-notes.txt,
# which run_bench.py prints beside the peer it lacks.
#
#   bench/setup.sh            (from the repository root; bench/.venv exists)
set -u
VENV=bench/.venv
PIP="$VENV/bin/python -m pip --disable-pip-version-check --quiet"
NOTES="$VENV/install-notes.txt"
: > "$NOTES"

note() {
    echo "$1" >> "$NOTES"
    echo "bench/setup.sh: $1" >&2
}

$PIP install -r bench/requirements-base.txt || exit 1
# Each peer alone: name, then the pip arguments.
while read -r name requirement; do
    case "$name" in ''|'#'*) continue ;; esac
    if ! out=$($PIP install $requirement 2>&1); then
        note "$name: pip could not install $requirement: $(echo "$out" | tail -n 1)"
    fi
done < bench/requirements-peers.txt
# The package builds with the environment's own build tools and keeps its
# build in build/bench-package, so that a later run rebuilds only what
# changed (an isolated build would set up its tools and rebuild everything,
# minutes on 2 cores).
$PIP install "scikit-build-core>=0.10" "nanobind>=2.4" || exit 1
$PIP install --no-build-isolation -C build-dir=build/bench-package ".[cytometry]" \
    || exit 1

if ! Rscript -e 'library(kohonen)' >/dev/null 2>&1; then
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
        if ! out=$( (apt-get update -qq && DEBIAN_FRONTEND=noninteractive \
                apt-get install -y -qq r-base-core r-cran-kohonen) 2>&1); then
            note "R kohonen: apt-get could not install r-base-core r-cran-kohonen: $(echo "$out" | tail -n 1)"
        fi
    else
        note "R kohonen: r-base-core and r-cran-kohonen need apt-get as root"
    fi
fi
exit 0
