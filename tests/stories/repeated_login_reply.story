# A second accepted login reply on the same connection: the link stays logged in, tells the
# new time, and is not Online a second time.
login H u p
tick 50
agent LOGIN sess=0x55 result=0 time="t1"
tick 50                           => notify ONLINE; notify TIME "t1"
agent LOGIN sess=0x55 result=0 addr="A" time="t2"
tick 50                           => notify TIME "t2"; no notify ONLINE; no notify REDIRECT
state                             => state Logined
