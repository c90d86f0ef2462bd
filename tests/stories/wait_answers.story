# How long a device driven by events may sleep before its next xrDevTcpProc call, in each
# state of a link: the earliest call that would do something. (Every call of every story
# also checks that a call before that time changes nothing.)
due                               => -1
login H u p
due                               => 0
# The login's timeout and the back-off are noticed by a pass, which falls a millisecond
# later across the wrap of the tick.
tick at=4294937796                => open H; sent LOGIN
sleep 29000                       => 29; no error
due                               => 1001
tick 1000                         => no error
due                               => 1
tick 1                            => close; error -9
due                               => 1000
# A failed open, and a connection under way, are driven at the 50 ms tick.
logout
login H u p
net open=-1
tick 50                           => open H; error -3
due                               => 50
net open=0 check=0
tick 20                           => open H
sleep 20                          => 0
due                               => 30
net check=1
tick 30                           => sent LOGIN
due                               => 880
# Frames are handed out one per call; logged in, the keepalive is the next thing due.
agent LOGIN sess=0x55 result=0
agent TIME "t" sess=0x55 join=1
tick 50                           => notify ONLINE; no notify TIME "t"
due                               => 0
tick 0                            => notify TIME "t"
due                               => 60000
agent WAKE
agent DATA size=BUF cut=BUF-92 join=1
tick 0                            => notify WAKE
due                               => 0
tick 0                            => no event
due                               => 60000
net send=fail
send STR "x" peer=p               => -3
due                               => 0
