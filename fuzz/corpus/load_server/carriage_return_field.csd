N,S,
Run,,
1
NoStoreForward
1
A,S,a.exe,-X,
