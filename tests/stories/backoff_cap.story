# Attempts that keep failing back off 15 s more each time, up to 300 s from the twentieth
# failure on: when the next open comes shows the wait, in every configuration. An attempt
# that never connects ends 30 s after its open.
net check=0
login H u p
tick 50                           => open H
wait 3450000                      => error -9
state                             => state Alloc level=20
wait 299950                       => no open
tick 50                           => log "xrDevTcpSecondProc: delay count finish, usDelayCount=300"; open H
wait 29950                        => no error
tick 50                           => close; error -9
state                             => state Alloc level=20
wait 299950                       => no open
tick 50                           => open H
