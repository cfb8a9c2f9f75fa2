# comment

  # indented
N,C1,
	Run,,

1
NoStoreForward,,default,abc,0123456789abcdef,DEFAULT,default,2,0,9000,1000001
2
A,,a.exe,
 # between
B,,b.exe,
