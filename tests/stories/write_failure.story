# A write that fails ends the connection as a failed read does: the frames that arrived
# are handled first (their echoes refused), then Offline and the back-off; whatever the
# frame was, an echo, a keepalive or the login request. A failed logout frame changes
# nothing.
app echo=3
login H u p
tick 50
agent LOGIN sess=0x55 result=0
tick 50                           => notify ONLINE
net send=fail,all
agent DATA 01 peer=p
agent DATA 02 peer=p join=1
agent DATA 03 peer=p join=1
tick 50                           => data size=1 01; refused -3; data size=1 02; refused -3; data size=1 03; refused -3; close; notify OFFLINE; no sent
state                             => state Alloc level=1
net send=all
wait 15000                        => open H
agent LOGIN sess=0x56 result=0
tick 50                           => notify ONLINE
net send=fail
wait 61000                        => close; notify OFFLINE; no sent
net send=fail
wait 15100                        => open H; close; notify OFFLINE; no sent
state                             => state Alloc level=2
net send=all
wait 30000                        => open H
agent LOGIN sess=0x57 result=0
tick 50                           => notify ONLINE
net send=fail
logout                            => close; no notify OFFLINE
state                             => state Idle
