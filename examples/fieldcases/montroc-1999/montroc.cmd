# TORLA field case: the Montroc (Peclerey) avalanche of 9 February 1999,
# Chamonix-Mont-Blanc, France. Sources, the reconstruction of the profile and
# its uncertainty: README.md beside this file. Nothing below is a survey.
#
# Profile: straight segments between points whose elevations are published
# (columns: index, horizontal distance from the top (m), elevation (m), no
# map coordinates):
#   0  top of the path, 2450 m (Wikipedia, "1999 Montroc avalanche": the
#      first convex slope begins at 2450 m);
#   1  a point on the straight segment 0-2 (no published elevation of its
#      own) where the assumed release zone ends;
#   2  end of the first convex slope, 1947 m, "halfway down the slope"
#      (Wikipedia), put at half the horizontal length: 1125 m;
#   3  the Arve at the valley bottom, 1380 m: 20 m below point 4, the height
#      the avalanche ran up the opposite side (French Wikipedia, "Peclerey"),
#      35 m short of point 4 (30 to 40 yards uphill, The Independent,
#      11 Feb 1999);
#   4  the end of the avalanche among the chalets of Les Poses: 2250 m from
#      the top (2.25 km horizontal length, J. McElwaine 1999) at 1400 m
#      (Montroc at 4,600 ft, The Independent; 25 degrees from the top to the
#      road, Wikipedia: 2450 - 2250 tan 25 = 1401 m);
#   5  NOT observed: the counter slope 3-4 continued 300 m at the same
#      grade (4 in 7, 30 degrees), only so that a run can go beyond the
#      observed end and its own run-out be determined.
# The bench between 1947 m and about 1700 m where smaller avalanches of this
# path stop is not represented: its horizontal position is not published in
# anything reachable here.
#
# Snow cover: h1 = 2.0 m along the whole track ("more than two metres" fell in
# three days, French Wikipedia, "Peclerey"). Everything else in the local
# table is taken over unchanged from examples/avalanche.cmd (assumed, not
# observed): density 110 kg/m3 at the top to 170 kg/m3 at the bottom and
# threshold velocity 0.35 to 0.50 m/s, both linear in elevation; the release
# h2 = 1.5 m, u2 = 5 m/s, rho2 = 30 kg/m3, h3 = 8 m, u3 = 5 m/s, 3 kg/m3,
# k3 = 2 m2/s2, eps3 = 1.2 m2/s3 at the top, tapering to nothing at point 1
# (300 m: the release zone's extent along the path is not published here).
#
# Columns of the local table: index, (not used), u_threshold (m/s), h1 (m),
# rho1 (kg/m3), h2 (m), u2 (m/s), rho2 (kg/m3), h3 (m), u3 (m/s), snow mass
# per volume of the suspension layer (kg/m3), k3 (m2/s2), eps3 (m2/s3).
# Every other parameter keeps its default.

Track_Name Montroc (Peclerey), Chamonix, reconstructed profile
Run_Name 9 February 1999, default parameters
| POWDER SNOW GLOBAL PARAMETERS
Grid_Method Polygon
Elem_Size 10.0
Max_Dev 3.0
Max_Time 150.0
Dump_Interval 2.0
Numerics robust
| COORDINATES
Number_of_Points 6
 0     0.0  2450.0  0 0
 1   300.0  2315.9  0 0
 2  1125.0  1947.0  0 0
 3  2215.0  1380.0  0 0
 4  2250.0  1400.0  0 0
 5  2550.0  1571.4  0 0
| POWDER SNOW LOCAL PARAMETERS
 0  0  0.35  2.0  110  1.5  5  30  8  5  3  2  1.2
 1  0  0.37  2.0  118  0    0  0   0  0  0  0  0
 2  0  0.42  2.0  138  0    0  0   0  0  0  0  0
 3  0  0.50  2.0  170  0    0  0   0  0  0  0  0
 4  0  0.50  2.0  170  0    0  0   0  0  0  0  0
 5  0  0.50  2.0  170  0    0  0   0  0  0  0  0
| END OF FILE
