#!/usr/bin/env bash
# Builds KelvorCmd, generates the sample meshes and bakes a set of maps from them.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release > /dev/null
cmake --build build/release -j "$(nproc)" --target KelvorCmd kelvor_samples

samples="$root/samples"
out="$samples/maps"
mkdir -p "$out"
build/release/tools/kelvor_samples "$samples"

unset DISPLAY || true
size=${DEMO_SIZE:-2048}
maps=(normal ao thickness clown displacement position vertexcolors hardedgemask alphamask)
for map in "${maps[@]}"; do
  echo "== Baking $map ($size x $size)"
  status=0
  build/release/cmd/KelvorCmd --low "$samples/crate_low.obj" --high "$samples/crate_high.obj" \
    --env "$samples/crate_envelope.obj" -p "$out/crate" -f png8 --width "$size" --height "$size" \
    --sampling 2 --dilation 8 "$map" > "$out/$map.log" 2>&1 || status=$?
  if [ "$status" -ne 0 ]; then
    cat "$out/$map.log"
    echo "Baking $map failed (status $status)"
    exit 1
  fi
  grep -o "Done bake.*" "$out/$map.log"
  rm -f "$out/$map.log"
done

echo
echo "Maps written to $out:"
ls -1 "$out"
