#!/usr/bin/python3
"""A synthetic but realistic avalanche path for the terrain example.

Writes valley.asc (ESRI ASCII grid, 5 m pixels, elevation in m) and
path.geojson (the path drawn down the gully as a GIS user would, vertices
every 100 m), both in the Swiss grid LV95 (EPSG:2056); run.sh turns the grid
into a GeoTIFF and the line into GPX (WGS84) with GDAL's own tools.

The slope faces north: a ridge at about 2600 m in the south, a concave
mountainside (39 degrees under the ridge, easing downwards), a gully some
40 m deep winding down it, and a fan below 1600 m where the gully fades out.
A smoothed random roughness of about 0.5 m over some 30 m (fixed seed) keeps the surface
from being perfectly smooth.
"""
import json
import numpy as np

E0, N0 = 2780000.0, 1180000.0  # m, lower-left corner
PIXEL = 5.0                    # m
COLS, ROWS = 400, 700          # 2 km x 3.5 km


def thalweg_x(y):
    """Easting of the gully bottom (m from E0) at northing y (m from N0)."""
    return 1000.0 + 150.0 * np.sin((y - 300.0) / 3100.0 * np.pi * 1.2)


def elevation(x, y):
    along = np.clip(3400.0 - y, 0.0, None)               # m below the ridge line
    z = 1450.0 + 1150.0 * np.exp(-along / 1400.0)         # concave long profile
    d = x - thalweg_x(y)
    gully = np.clip((y - 600.0) / 600.0, 0.0, 1.0)        # fades out on the fan
    z += gully * 40.0 * (1.0 - np.exp(-(d / 100.0) ** 2))  # the gully
    z += 0.12 * np.abs(d)                                 # valley sides
    return z


def roughness(shape, seed=7):
    rng = np.random.default_rng(seed)
    r = rng.normal(0.0, 1.0, shape)
    k = np.exp(-0.5 * (np.arange(-18, 19) / 6.0) ** 2)
    k /= k.sum()
    for axis in (0, 1):
        r = np.apply_along_axis(lambda v: np.convolve(v, k, mode="same"), axis, r)
    return 0.5 * r / r.std()


def main():
    cols = (np.arange(COLS) + 0.5) * PIXEL
    rows = (ROWS - np.arange(ROWS) - 0.5) * PIXEL      # row 0 is the north edge
    x, y = np.meshgrid(cols, rows)
    z = elevation(x, y) + roughness(x.shape)
    with open("valley.asc", "w") as f:
        f.write(f"ncols {COLS}\nnrows {ROWS}\nxllcorner {E0:.1f}\nyllcorner {N0:.1f}\n"
                f"cellsize {PIXEL}\nNODATA_value -9999\n")
        np.savetxt(f, z, fmt="%.2f")
    ys = np.arange(3350.0, 399.0, -100.0)
    coords = [[E0 + float(thalweg_x(v)), N0 + float(v)] for v in ys]
    line = {"type": "FeatureCollection",
            "crs": {"type": "name", "properties": {"name": "urn:ogc:def:crs:EPSG::2056"}},
            "features": [{"type": "Feature", "properties": {"name": "Gully"},
                          "geometry": {"type": "LineString", "coordinates": coords}}]}
    with open("path.geojson", "w") as f:
        json.dump(line, f, indent=1)
    print(f"valley.asc: {COLS} x {ROWS} pixels of {PIXEL} m, {z.min():.0f} to {z.max():.0f} m; "
          f"path.geojson: {len(coords)} vertices")


if __name__ == "__main__":
    main()
