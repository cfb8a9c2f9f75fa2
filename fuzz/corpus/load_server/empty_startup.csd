N,S,
,
1
NoStoreForward
1
A,,a.exe,
