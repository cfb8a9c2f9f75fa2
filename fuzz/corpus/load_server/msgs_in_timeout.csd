N,S,
Run,,
1
StoreForward,,,,9 MSGS ,1,,,,,
1
A,S,a.exe,
