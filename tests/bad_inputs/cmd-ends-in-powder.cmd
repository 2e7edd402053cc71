# Corpus command file
Track_Name Corpus track
Run_Name Corpus run
| POWDER SNOW GLOBAL PARAMETERS
Max_Time 0.3
