Track_Name T
Run_Name R
| COMMON GLOBAL PARAMETERS
Gravity 9.81
| COORDINATES
Number_of_Points 3
