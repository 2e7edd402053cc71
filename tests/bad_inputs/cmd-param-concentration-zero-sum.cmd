# Corpus command file
Track_Name Corpus track
Run_Name Corpus run
| POWDER SNOW GLOBAL PARAMETERS
Max_Time 0.3
Conc_Prof_Coeff_0 1
Conc_Prof_Coeff_1 -1.5
Conc_Prof_Coeff_2 0.5
| COORDINATES
Number_of_Points 8
0 0 1000 0 0
1 10 995 0 0
2 20 990 0 0
3 30 985 0 0
4 40 980 0 0
5 50 975 0 0
6 60 970 0 0
7 70 965 0 0
| POWDER SNOW LOCAL PARAMETERS
0 0 0.5 0.5 150 0 0 0 0 0 0 0 0
1 0 0.5 0.5 150 0 0 0 0 0 0 0 0
2 0 0.5 0.5 150 0 0 0 0 0 0 0 0
3 0 0.5 0.5 150 0 0 0 0 0 0 0 0
4 0 0.5 0.5 150 0 0 0 0 0 0 0 0
5 0 0.5 0.5 150 0 0 0 0 0 0 0 0
6 0 0.5 0.5 150 0 0 0 0 0 0 0 0
7 0 0.5 0.5 150 0 0 0 0 0 0 0 0
| END OF FILE
