# Corpus command file
Track_Name Corpus track
Run_Name Corpus run
| POWDER SNOW GLOBAL PARAMETERS
Max_Time 0.3
| COORDINATES
Number_of_Points 1
0 0 1000 0 0
| POWDER SNOW LOCAL PARAMETERS
0 0 0.5 0.5 150 0 0 0 0 0 0 0 0
| END OF FILE
