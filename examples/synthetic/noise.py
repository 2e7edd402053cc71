"""The uncertainty of each synthetic observation, for make-observations
(which draws the noise at it and writes it into observations.toml) and
bench/calibrate-information (which weighs the observations by it).

Run-out, arrival times and speeds take the sigma template.toml states for
them. A pressure's sigma depends on its value, which the template cannot
know: 5 % of the true peak (a load cell's calibration), at least 0.1 kPa (its
offset, which counts for the small peaks high on a mast). docs/calibration.md
says why these and what they allow.
"""
PRESSURE_RELATIVE = 0.05   # of the true peak
PRESSURE_FLOOR_KPA = 0.1   # kPa


def sigma(item, truth):
    """The sigma of a score item (torla-inspect score --json) whose true model value is `truth`."""
    if item["kind"] == "pressure":
        return max(PRESSURE_RELATIVE * truth, PRESSURE_FLOOR_KPA)
    return item["sigma"]
