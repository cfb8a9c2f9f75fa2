N,S,
Run,,
1
StoreForward,p\"
1
A,S,a.exe,
