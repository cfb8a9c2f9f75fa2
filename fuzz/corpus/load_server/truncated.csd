N,S,
Run,,
1
