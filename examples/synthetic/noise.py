"""The uncertainty of each synthetic observation, for make-observations
(which draws the noise at it and writes it into observations.toml) and
bench/calibrate-information (which weighs the observations by it).

Run-out, arrival times and speeds take the sigma template.toml states for
them. A pressure's sigma depends on its value, which the template cannot
know: a fraction of the true peak, with a floor for the small peaks high on
a mast (a load cell's offset and the spread of the cloud's gusts).
"""
PRESSURE_RELATIVE = 0.05   # of the true peak
PRESSURE_FLOOR_KPA = 0.1   # kPa


def sigma(item, truth):
    """The sigma of a score item (torla-inspect score --json) whose true model value is `truth`."""
    if item["kind"] == "pressure":
        return max(PRESSURE_RELATIVE * truth, PRESSURE_FLOOR_KPA)
    return item["sigma"]
