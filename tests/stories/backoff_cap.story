# Attempts that keep failing back off 15 s more each time, up to 300 s.
login H u p
net open=-1
wait 3500000                      => error -3; error -9
state                             => state Alloc level=20
wait 340000                       => log "xrDevTcpSecondProc: delay count finish, usDelayCount=300"; error -9
state                             => state Alloc level=20
