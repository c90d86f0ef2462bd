# Entries the application leaves empty: an empty socket operation counts as that operation
# failing (an empty close just forgets the socket), an empty event is dropped, and no log
# function means no log lines.
app without=sockets
login H u p                       => 1; log "xrDevTcpLogin: Login status - Alloc, uInd=0"
tick 50                           => error -3; no open
app without=check
tick 50                           => open H; error -3
tick 50                           => error -3; no open
app without=check,close
logout                            => no close
app without=none
login H u p
tick 50                           => open H
agent LOGIN sess=0x55 result=0
tick 50                           => notify ONLINE
app without=error,str
agent STR "x" peer=p
agent ERROR code=-7 join=1
wait 100                          => no event
app without=recv,events,log
tick 50                           => close; no log
state                             => state Alloc level=1
app without=none
wait 15000                        => open H
agent LOGIN sess=0x56 result=0
tick 50                           => notify ONLINE
app without=send,events,log
agent DATA 01 peer=p
tick 50                           => no anything
send DATA 02                      => -3
tick 50                           => close
