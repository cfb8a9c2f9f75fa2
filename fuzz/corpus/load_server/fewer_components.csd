N,X1,
Run,,
1
StoreForward
5
A,,a.exe,
