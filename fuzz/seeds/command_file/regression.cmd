# Regression fixture: 60 cells of 5 m, the slope flattening from 35 to 5
# degrees; a release of saltating (1 m, 5 m/s, 20 kg/m3) and suspended
# (5 m, 5 m/s, 2 kg/m3 of snow) snow in cells 3 to 10 on a 0.3 m cover.
Track_Name Regression track
Run_Name Small release
| POWDER SNOW GLOBAL PARAMETERS
Max_Time 12
Dump_Interval 1
| COORDINATES
Number_of_Points 2
0 0 1000 0 0
1 5 997 0 0
| POWDER SNOW LOCAL PARAMETERS
0 0 0.5 0.3 150 0 0 0 0 0 0 0 0
1 0 0.5 0.3 150 0 0 0 0 0 0 0 0
| END OF FILE
