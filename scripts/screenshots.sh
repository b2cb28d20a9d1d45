#!/bin/sh
# Saves a PNG of each page of the wizard into docs/screenshots/, taken during a real
# installation from the sample server (the main job, driven on a display of its own).
set -eu
repo=$(cd "$(dirname "$0")/.." && pwd)
DISPLAY= exec "$repo/scripts/demo.sh" --auto --shots "$repo/docs/screenshots"
