# When the agent closes, the whole frames that came before the close are handled first, in
# order, and then the link resets; a frame cut off by the close is dropped. A redirect among
# them moves the link instead, and what came after it is dropped.
login H u p
tick 50
agent LOGIN sess=0x55 result=0
tick 50                           => notify ONLINE
agent DATA 01 peer=p
agent DATA 02 peer=p join=1
agent DATA 03 peer=p cut=1 join=1
agent close
tick 50                           => data size=1 01; no data size=1 02
tick 50                           => data size=1 02; close; notify OFFLINE; no data size=1 03
state                             => state Alloc level=1
wait 15000                        => open H
agent LOGIN sess=0x56 result=0
tick 50                           => notify ONLINE
agent DATA 01 peer=p
agent REDIRECT "A" join=1
agent DATA 02 peer=p join=1
agent close
tick 50                           => data size=1 01
tick 50                           => notify REDIRECT "A"; close; no data; no notify OFFLINE
state                             => state Alloc level=0
tick 50                           => open A
