Unit 1^; East ^^ x,PLANT2,HIST2
Run,DOM\user,cMOkc3P/
3
StoreForward,D:\sf data\,10,20,30,40,1,Default,1,100,5000
2
DLGP,PLANT2,%TELMOIO%\dlgp.exe,-TCPSERVICE PLANT2 -OPCSERVER X
Helper,HLP1,helper.exe,
