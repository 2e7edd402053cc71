# TORLA example: a powder-snow avalanche on a 2 km path
#
# The path: an open slope below a ridge at 2460 m, falling towards the
# north-north-east onto a fan. The profile in the vertical plane of the path
# is given by 39 points read off a map at 40-60 m horizontal spacing.
# Columns of the coordinate table: index, horizontal distance from the crown
# (m), elevation (m), easting and northing of the point on the map (m, Swiss
# grid; carried through to the geometry table of the result file).
#   - release zone, x = 0-310 m: 39 degrees under the ridge, easing to 33;
#   - track, x = 310-1320 m: 32 down to 11 degrees, with a bench (a forest
#     road) near x = 700 m where the slope eases to 18 degrees and then
#     steepens again to 27 (a convex break below the bench);
#   - run-out, x = 1320-1850 m: below 10 degrees, 2 degrees at the foot of
#     the fan at 1732 m.
#   About 2030 m along the track and 728 m of drop.
#
# Snow cover along the whole track: after a three-day storm 0.90 m of new
# snow at the crown, thinning to 0.45 m at the foot; density 110 kg/m3 (cold
# new snow) at the crown, 170 kg/m3 at the foot (older, settled snow lower
# down). Both change linearly with elevation. Threshold velocity of the cover:
# 0.35 m/s at the crown to 0.50 m/s at the foot, in the range of threshold
# friction velocities measured for dry snow; with the default
# Threshold_Factor of 10 the saltation layer erodes the cover once it runs
# faster than 3.5-5 m/s.
#
# Initial release, points 0-4 (the upper 220 m of track, some 20 cells),
# tapering to nothing towards point 5 (275 m along the track):
#   saltation layer   h2 = 1.5 m, u2 = 5 m/s, density excess rho2 = 30 kg/m3
#                     (45 kg/m2, the mass of 0.4 m of the released snow);
#   suspension layer  h3 = 8 m, u3 = 5 m/s, 3 kg of snow per m3 (a bulk
#                     density of about 4 kg/m3), turbulent kinetic energy
#                     k3 = 2 m2/s2 (fluctuations of about 1.2 m/s, a quarter
#                     of the mean speed) and dissipation eps3 = 1.2 m2/s3, an
#                     eddy viscosity C_mu k3^2 / eps3 of 0.3 m2/s.
# The release starts at 5 m/s, about what a failing slab reaches within its
# first seconds. Below point 4 the layers are empty.
#
# Run control: cells of at most 10 m (some 200 cells), corners rounded
# within 3 m of the map points. The front reaches the foot of the fan after
# about 40 s; 100 s of simulated time also show the body slowing down on
# the run-out. A dump every 2 s. All other parameters keep their defaults
# (air density 1.0 kg/m3, about right at 2000 m; particle density 917 kg/m3).
#
# Columns of the local table: index, (not used), u_threshold (m/s), h1 (m),
# rho1 (kg/m3), h2 (m), u2 (m/s), rho2 (kg/m3), h3 (m), u3 (m/s), snow mass
# per volume of the suspension layer (kg/m3), k3 (m2/s2), eps3 (m2/s3).

Track_Name Example path, north-east slope below the ridge
Run_Name Dry powder release, 0.9 m new snow
| POWDER SNOW GLOBAL PARAMETERS
Grid_Method Polygon
Elem_Size 10.0
Max_Dev 3.0
Max_Time 100.0
Dump_Interval 2.0
Height_Peaks on
Peak_Heights 1,2,5,10,20
| COORDINATES
Number_of_Points 39
 0        0     2460   781240   187310
 1       40     2428   781252   187348
 2       85   2392.9   781265   187391
 3      130   2358.7   781277   187435
 4      175   2325.4   781289   187478
 5      220     2293   781300   187522
 6      265   2261.3   781311   187565
 7      310   2230.8   781321   187609
 8      355   2201.5   781330   187653
 9      400   2173.3   781339   187697
10      450   2143.2   781349   187746
11      500   2114.4   781357   187796
12      550   2086.9   781365   187845
13      600     2061   781372   187894
14      640   2041.9   781378   187934
15      670   2029.8   781381   187964
16      700   2019.4   781385   187994
17      730   2009.5   781388   188024
18      760   1998.4   781391   188053
19      790   1984.6   781394   188083
20      830   1964.5   781397   188123
21      870   1945.1   781400   188163
22      920   1921.7   781402   188213
23      970   1899.7   781404   188263
24     1020     1879   781406   188313
25     1080     1856   781406   188373
26     1140   1835.4   781406   188433
27     1200     1817   781404   188493
28     1260   1801.1   781402   188553
29     1320   1787.8   781398   188613
30     1380   1776.6   781393   188673
31     1440   1767.1   781388   188732
32     1500     1759   781381   188792
33     1560   1751.9   781374   188851
34     1620   1745.8   781365   188911
35     1680   1740.7   781355   188970
36     1740   1736.6   781345   189029
37     1800   1733.6   781333   189088
38     1850   1731.6   781323   189137
| POWDER SNOW LOCAL PARAMETERS
 0  0  0.35  0.9  110  1.5  5  30  8  5  3  2  1.2
 1  0  0.36  0.88  113  1.5  5  30  8  5  3  2  1.2
 2  0  0.36  0.86  116  1.5  5  30  8  5  3  2  1.2
 3  0  0.37  0.84  118  1.5  5  30  8  5  3  2  1.2
 4  0  0.38  0.82  121  1.5  5  30  8  5  3  2  1.2
 5  0  0.38  0.8  124  0  0  0  0  0  0  0  0
 6  0  0.39  0.78  126  0  0  0  0  0  0  0  0
 7  0  0.4  0.76  129  0  0  0  0  0  0  0  0
 8  0  0.4  0.74  131  0  0  0  0  0  0  0  0
 9  0  0.41  0.72  134  0  0  0  0  0  0  0  0
10  0  0.42  0.7  136  0  0  0  0  0  0  0  0
11  0  0.42  0.69  138  0  0  0  0  0  0  0  0
12  0  0.43  0.67  141  0  0  0  0  0  0  0  0
13  0  0.43  0.65  143  0  0  0  0  0  0  0  0
14  0  0.44  0.64  144  0  0  0  0  0  0  0  0
15  0  0.44  0.63  145  0  0  0  0  0  0  0  0
16  0  0.44  0.63  146  0  0  0  0  0  0  0  0
17  0  0.44  0.62  147  0  0  0  0  0  0  0  0
18  0  0.45  0.61  148  0  0  0  0  0  0  0  0
19  0  0.45  0.61  149  0  0  0  0  0  0  0  0
20  0  0.45  0.59  151  0  0  0  0  0  0  0  0
21  0  0.46  0.58  152  0  0  0  0  0  0  0  0
22  0  0.46  0.57  154  0  0  0  0  0  0  0  0
23  0  0.47  0.55  156  0  0  0  0  0  0  0  0
24  0  0.47  0.54  158  0  0  0  0  0  0  0  0
25  0  0.47  0.53  160  0  0  0  0  0  0  0  0
26  0  0.48  0.51  161  0  0  0  0  0  0  0  0
27  0  0.48  0.5  163  0  0  0  0  0  0  0  0
28  0  0.49  0.49  164  0  0  0  0  0  0  0  0
29  0  0.49  0.48  165  0  0  0  0  0  0  0  0
30  0  0.49  0.48  166  0  0  0  0  0  0  0  0
31  0  0.49  0.47  167  0  0  0  0  0  0  0  0
32  0  0.49  0.47  168  0  0  0  0  0  0  0  0
33  0  0.5  0.46  168  0  0  0  0  0  0  0  0
34  0  0.5  0.46  169  0  0  0  0  0  0  0  0
35  0  0.5  0.46  169  0  0  0  0  0  0  0  0
36  0  0.5  0.45  170  0  0  0  0  0  0  0  0
37  0  0.5  0.45  170  0  0  0  0  0  0  0  0
38  0  0.5  0.45  170  0  0  0  0  0  0  0  0
| END OF FILE
