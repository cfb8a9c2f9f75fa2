N,S,
Run,,
1
NoStoreForward
2
A,S,a.exe,
, # hash name,,b.exe,
