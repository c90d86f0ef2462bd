# The first call of xrDevTcpProc starts the clock: the login timeout of a link logged in
# before it counts from that call, and so do the once-a-second passes.
net check=0
login H u p
tick at=500                       => open H
wait 29950                        => no error
tick 50                           => close; error -9
