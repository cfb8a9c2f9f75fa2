  ,UA2,H
run,,YQ==
1
StoreForward,Default,5,,6,,,1,,8760,1000000
1
UA,UA2,c:\io\telmo_opcua_dlgp.exe,-A
