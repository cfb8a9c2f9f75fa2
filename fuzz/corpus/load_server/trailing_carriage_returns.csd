N,S,H
Run,,
1
NoStoreForward
1
A,S,a.exe,-X
