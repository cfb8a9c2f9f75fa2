N,S,
Running,,
99999999999
Maybe
0
