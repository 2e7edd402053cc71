#!/usr/bin/env bash
# The terrain example from one command: a synthetic valley DEM and a path
# line, the command file from them with torla-profile, the run (Numerics
# robust), the summary, the map (GeoPackage and GeoJSON), the NetCDF file and
# the figures (with the plan view on a hillshade of the DEM). Everything is
# written into examples/terrain/out/.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"
cd "$root"
bash scripts/setup
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j2 --target torla knotline torla-inspect torla-profile
mkdir -p "$here/out"
cd "$here/out"
/usr/bin/python3 ../make_terrain.py
# The DEM as a GeoTIFF in LV95; the path as a GPS track in WGS84, as drawn on
# a phone or in a web map: torla-profile takes it back into the DEM's CRS.
gdal_translate -q -a_srs EPSG:2056 valley.asc valley.tif
ogr2ogr -f GPX -t_srs EPSG:4326 -nlt MULTILINESTRING -lco FORCE_GPX_TRACK=YES path.gpx path.geojson
../../../build/torla-profile valley.tif path.gpx -o terrain.cmd --line Gully \
  --release 0:250 --snow-depth 1.0 --snow-gradient 0.05 \
  --max-time 100 --dump-interval 2 --numerics robust \
  --name "Synthetic gully, north face" --run-name "Dry powder release 0-250 m, 1 m new snow"
printf 'terrain.cmd\nterrain.res\n../../../build/\n' > terrain.info
../../../build/torla terrain.info > terrain.console
../../../build/torla-inspect terrain.res summary
../../../build/torla-inspect terrain.res map -o terrain.gpkg
../../../build/torla-inspect terrain.res map -o terrain.geojson
../../../build/torla-inspect terrain.res netcdf -o terrain.nc
../../../build/torla-inspect terrain.res csv -o terrain.csv
../../../build/torla-inspect terrain.res csv --peaks -o terrain-peaks.csv
../../../build/torla-inspect terrain.res csv --front -o terrain-front.csv
../../../tools/torla-plot terrain.csv terrain-peaks.csv terrain-front.csv -o figures --name terrain \
  --dem valley.tif
echo "Made in examples/terrain/out/: terrain.cmd, terrain.res (log terrain.plg), terrain.gpkg,"
echo "terrain.geojson and terrain-path.geojson, terrain.nc, figures/terrain-*.png"
