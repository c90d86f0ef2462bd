needs LINKS>=2
# Two links side by side: each has its own connection, session, frames and timers.
login H u0 p                      => 1
login A u1 p                      => 0x10002
tick 50                           => open H link=0; open A link=1
agent LOGIN sess=0x55 result=0
link 1
agent LOGIN sess=0x66 result=0
tick 50                           => notify ONLINE link=0; notify ONLINE link=1
agent DATA 01 peer=p
tick 50                           => data size=1 01 link=1; no data link=0
send DATA 02 peer=q               => 1; sent DATA sess=0x66 peer=q size=1 02 link=1
wait 30000
agent WAKE
tick 50                           => notify WAKE link=1
wait 30800                        => no sent
tick 50                           => sent KEEPALIVE sess=0x55 link=0; no sent link=1
logout 1                          => sent LOGOUT sess=0x55 link=0; close link=0; no close link=1
