#!/usr/bin/env bash
# Installs what is missing, builds, and runs the main job. Until kqblkctl
# exists, the main job is the disk object's life cycle (create, serve
# recalls, stop, destroy) against the scripted driver stand-in.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build >/dev/null
cmake --build build -j"$(nproc)" --target kqblk_disk_tests
build/tests/kqblk_disk_tests --gtest_filter='DiskThread.*:DiskDevice.*'
