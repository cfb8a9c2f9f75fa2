N,AS2,S2,asyncdlgTEORUnit 1^; East ^^ x,PLANT2,HIST2
Run,DOM
3
StoreForward,D:\sf d0123456789abcdef,DEFAULT,default,2,0,
2
2
DLANTG
