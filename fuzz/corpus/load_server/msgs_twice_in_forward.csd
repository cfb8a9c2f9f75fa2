Ut  ''''''''''''''''''''''''''''''''''''''''''''''''''''''''''''''''''''''''''''''''''''''''''Ea,PL0NT0,HIST2IS…2
Run,DOM\uer,cMOkc3PIIIIII/
2
StoreForward,ÿÿÿÿÿÿÿ,U,,5..20,130 MSGS IIIII/
3

0ÿÿÿI