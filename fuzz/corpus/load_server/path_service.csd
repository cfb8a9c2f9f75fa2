N,../../evil,
Run,,
1
NoStoreForward
1
A,,a.exe,
