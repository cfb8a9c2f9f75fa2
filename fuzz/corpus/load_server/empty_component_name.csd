N,S,
Run,,
1
NoStoreForward
1
,,exe,args
