N,X2,
Run,,
1
StoreForward
1
A,,a.exe,
B,,b.exe,
C,,c.exe,
