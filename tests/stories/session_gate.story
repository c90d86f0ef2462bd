# The session gate, for every frame type: before the first login only frames of session 0
# are acted on, and a login reply of any session; once logged in, frames of another session,
# a login reply too, are dropped and do not count as activity.
login H u p
tick 50
agent ERROR code=7 sess=5
agent REDIRECT "A" sess=5 join=1
agent TIME "t" sess=5 join=1
agent DATA 01 peer=p sess=5 join=1
agent STR "x" peer=p sess=5 join=1
agent WAKE sess=5 join=1
wait 300                          => no event
agent WAKE sess=0
tick 50                           => notify WAKE
agent LOGIN sess=0x77 result=0
tick 50                           => notify ONLINE
wait 30000                        => no sent
agent ERROR code=7 sess=0x78
agent REDIRECT "A" sess=0x78 join=1
agent TIME "t" sess=0x78 join=1
agent DATA 01 peer=p sess=0x78 join=1
agent STR "x" peer=p sess=0x78 join=1
agent WAKE sess=0x78 join=1
agent LOGIN result=5 sess=0x78 join=1
wait 350                          => no event
wait 29650                        => no sent
wait 1000                         => sent KEEPALIVE sess=0x77
