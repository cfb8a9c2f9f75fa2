N,S,
Run,,
1
StoreForward,pa\\"
1
A,S,a.exe,
