N,AS2,
Run,,
1
NoStoreForward
1
DLGP,AS2,asyncdlgp.exe,-WATCHDOGTAG
