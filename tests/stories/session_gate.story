# Before the login only frames of session 0 are acted on, and a login reply of any session.
# Once logged in, frames of another session are dropped and do not count as activity.
login H u p
tick 50
agent WAKE sess=5
tick 50                           => no event
agent WAKE sess=0
tick 50                           => notify WAKE
agent LOGIN sess=0x77 result=0
tick 50                           => notify ONLINE
wait 30000                        => no sent
agent WAKE sess=0x78
tick 50                           => no event
agent STR "x" peer=p sess=0
tick 50                           => no event
wait 30700                        => no sent
tick 50                           => sent KEEPALIVE sess=0x77
