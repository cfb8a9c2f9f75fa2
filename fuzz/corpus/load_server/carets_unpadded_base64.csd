x^y^^z^;w,S,
Run,,YQ
1
NoStoreForward
1
A,S,a.exe,
