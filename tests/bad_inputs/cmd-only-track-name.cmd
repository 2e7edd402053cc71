Track_Name Corpus track
