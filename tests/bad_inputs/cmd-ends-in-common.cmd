# Corpus command file
Track_Name T
Run_Name R
| COMMON GLOBAL PARAMETERS
Gravity 9.81
