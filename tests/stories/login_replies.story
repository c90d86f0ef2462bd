# A login reply that names another address moves the link there without going Online; one
# that names the address it came from is an accepted login. A second accepted reply on the
# same connection tells the new time only: the link is not Online again, nor moved.
login H u p
tick 50                           => open H
agent LOGIN result=0 addr="A" time="t"
tick 50                           => notify REDIRECT "A"; close; no notify ONLINE; no sent
tick 50                           => open A
agent LOGIN sess=0x66 result=0 addr="A" time="t"
tick 50                           => notify ONLINE; notify TIME "t"
agent LOGIN sess=0x66 result=0 addr="B" time="t2"
tick 50                           => notify TIME "t2"; no notify ONLINE; no notify REDIRECT
state                             => state Logined
