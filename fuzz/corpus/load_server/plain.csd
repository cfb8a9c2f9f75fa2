Plant one,PLANT1,
Run,,
1
NoStoreForward,,,,,,,,,,
1
DLGP,PLANT1,%TELMOIO%\plant_dlgp.exe,-TCPSERVICE PLANT1
