# A refused login: the agent's code reaches the application, the link closes and goes
# Offline, and the next attempt waits 15 s for each refusal in a row. A completed login
# clears the count.
login H u p
tick 50                           => open H
agent LOGIN result=-7
tick 50                           => error -7; close; notify OFFLINE
wait 14900                        => no open; no log "xrDevTcpSecondProc: delay count finish, usDelayCount=1"
tick 50                           => log "xrDevTcpSecondProc: delay count finish, usDelayCount=15"; open H
agent LOGIN result=-7
tick 50                           => error -7; close
wait 29900                        => no open
tick 50                           => open H
agent LOGIN sess=0x55 result=0
tick 50                           => notify ONLINE
state                             => state Logined level=0
