# The application may log its link out from inside any event: nothing more happens for that
# link, and its slot is free for the next login.
app on=data do=logout
login H u p
tick 50
agent LOGIN sess=0x55 result=0
tick 50                           => notify ONLINE
agent DATA 01 peer=p
agent DATA 02 peer=p join=1
tick 50                           => data size=1 01; sent LOGOUT; close; no data size=1 02
tick 50                           => no anything
state                             => state Idle socket=no
app on=notify do=logout
login H u p                       => 3
tick 50
agent LOGIN sess=0x55 result=0 time="t"
tick 50                           => notify ONLINE; sent LOGOUT; close; no notify TIME
app on=error do=relogin
login H u p                       => 5
tick 50
agent LOGIN result=-7
tick 50                           => error -7; close; log "xrDevTcpLogin: Login status - Alloc, uInd=0"; no notify OFFLINE
tick 50                           => open H
app on=notify do=logout
agent REDIRECT "A" sess=0
tick 50                           => notify REDIRECT "A"; close; no open
tick 50                           => no anything
