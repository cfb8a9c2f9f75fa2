Uoi Ea,PL,H:T3IST2
Run,DOM\œTI
2
StoreForward,Dsf \,0..20,30 M NOTAGINFO
3
SŒñ0ÿÿ
